/* Test-only fault injection for the program's buffered file I/O, loaded with LD_PRELOAD.
 *
 * Calls on files count; calls on stdin, stdout and stderr pass through uncounted. Each
 * family counts once per call whatever name the program links: fopen (fopen, fopen64,
 * fdopen),
 * fread, fwrite, fclose, fflush, fgetc (fgetc, getc), fseeko (fseeko, fseeko64, fseek),
 * ftello (ftello, ftello64, ftell), rename (rename, renameat), and the descriptor calls extraction makes its outputs
 * with: open (open, open64, openat, openat64), mkdirat, fstatat (fstatat, fstatat64), unlinkat,
 * symlinkat, futimens (futimens, utimensat), fchmod, and those of -meta's Linux records: fchown
 * (fchown, fchownat), fsetxattr (fsetxattr, setxattr), mknodat, linkat.
 *
 *   FAULT_COUNT=FILE           at exit, appends "family count" lines for every family used
 *   FAULT_CALL=FAMILY          the family to fail ...
 *   FAULT_N=N                  ... at its Nth call (from 1)
 *   FAULT_STICKY=1             ... and at every later call too (a disk that stays full)
 *
 * A failing call behaves as the C library does on an I/O error: fread and fwrite move half
 * of the requested items (rounded down; nothing at all for the later calls of a sticky
 * fault) and then stop with the stream's error flag set;
 * fgetc returns EOF with the error flag set; fflush returns EOF with the error flag set and
 * writes nothing; fclose closes the stream (no descriptor is leaked) and returns EOF; fopen
 * returns NULL, and so does fdopen, leaving the descriptor to its caller as the C library
 * does; fseeko, ftello and rename return -1 (rename without renaming anything), and so do the
 * descriptor calls, without doing anything. errno is set each time. Every injected fault is
 * reported on stderr as "fault: FAMILY #N".
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <sys/stat.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>

enum {
    F_FOPEN, F_FREAD, F_FWRITE, F_FCLOSE, F_FFLUSH, F_FGETC, F_FSEEKO, F_FTELLO, F_RENAME,
    F_OPEN, F_MKDIRAT, F_FSTATAT, F_UNLINKAT, F_SYMLINKAT, F_FUTIMENS, F_FCHMOD,
    F_FCHOWN, F_FSETXATTR, F_MKNODAT, F_LINKAT, F_COUNT
};
static const char *const family_names[F_COUNT] = {
    "fopen", "fread", "fwrite", "fclose", "fflush", "fgetc", "fseeko", "ftello", "rename",
    "open", "mkdirat", "fstatat", "unlinkat", "symlinkat", "futimens", "fchmod",
    "fchown", "fsetxattr", "mknodat", "linkat"};

static unsigned long calls[F_COUNT];
static int target = -1;
static unsigned long target_n;
static int sticky;
static const char *count_file;

__attribute__((constructor)) static void setup(void)
{
    count_file = getenv("FAULT_COUNT");
    const char *call = getenv("FAULT_CALL");
    const char *n = getenv("FAULT_N");
    const char *s = getenv("FAULT_STICKY");
    sticky = s && *s == '1';
    if (call && n) {
        for (int i = 0; i < F_COUNT; ++i)
            if (strcmp(call, family_names[i]) == 0) target = i;
        target_n = strtoul(n, NULL, 10);
    }
}

__attribute__((destructor)) static void report(void)
{
    if (!count_file) return;
    /* The library's own calls, past the program's last one, are not counted. */
    FILE *(*real_fopen)(const char *, const char *) = (FILE * (*)(const char *, const char *)) dlsym(RTLD_NEXT, "fopen");
    int (*real_fclose)(FILE *) = (int (*)(FILE *))dlsym(RTLD_NEXT, "fclose");
    FILE *out = real_fopen(count_file, "a");
    if (!out) return;
    for (int i = 0; i < F_COUNT; ++i)
        if (calls[i]) fprintf(out, "%s %lu\n", family_names[i], calls[i]);
    real_fclose(out);
}

static int is_console(FILE *stream)
{
    return stream == stdin || stream == stdout || stream == stderr;
}

/* Counts the call; 0 when it is to succeed, 1 for the first failing call, 2 for a later one. */
static int strike(int family)
{
    unsigned long n = ++calls[family];
    if (family != target || target_n == 0) return 0;
    if (n == target_n || (sticky && n > target_n)) {
        char line[64];
        int length = snprintf(line, sizeof line, "fault: %s #%lu\n", family_names[family], n);
        fwrite_unlocked(line, 1, (size_t)length, stderr);
        return n == target_n ? 1 : 2;
    }
    return 0;
}

static void set_error(FILE *stream, int code)
{
    stream->_flags |= _IO_ERR_SEEN;
    errno = code;
}

#define REAL(name, type) \
    static type real_##name; \
    if (!real_##name) real_##name = (type)dlsym(RTLD_NEXT, #name)

typedef FILE *(*fopen_t)(const char *, const char *);
typedef size_t (*io_t)(void *, size_t, size_t, FILE *);
typedef size_t (*write_t)(const void *, size_t, size_t, FILE *);
typedef int (*stream_t)(FILE *);
typedef int (*seek_t)(FILE *, off_t, int);
typedef int (*seekl_t)(FILE *, long, int);
typedef off_t (*tell_t)(FILE *);
typedef long (*telll_t)(FILE *);

FILE *fopen(const char *path, const char *mode)
{
    REAL(fopen, fopen_t);
    if (strike(F_FOPEN)) {
        errno = EMFILE;
        return NULL;
    }
    return real_fopen(path, mode);
}

FILE *fopen64(const char *path, const char *mode)
{
    REAL(fopen64, fopen_t);
    if (strike(F_FOPEN)) {
        errno = EMFILE;
        return NULL;
    }
    return real_fopen64(path, mode);
}

typedef FILE *(*fdopen_t)(int, const char *);

FILE *fdopen(int fd, const char *mode)
{
    REAL(fdopen, fdopen_t);
    if (strike(F_FOPEN)) {
        errno = EMFILE;
        return NULL;
    }
    return real_fdopen(fd, mode);
}

size_t fread(void *buffer, size_t size, size_t count, FILE *stream)
{
    REAL(fread, io_t);
    int fault = is_console(stream) ? 0 : strike(F_FREAD);
    if (!fault) return real_fread(buffer, size, count, stream);
    size_t got = fault == 1 && count / 2 ? real_fread(buffer, size, count / 2, stream) : 0;
    set_error(stream, EIO);
    return got;
}

size_t fwrite(const void *buffer, size_t size, size_t count, FILE *stream)
{
    REAL(fwrite, write_t);
    int fault = is_console(stream) ? 0 : strike(F_FWRITE);
    if (!fault) return real_fwrite(buffer, size, count, stream);
    size_t put = fault == 1 && count / 2 ? real_fwrite(buffer, size, count / 2, stream) : 0;
    set_error(stream, ENOSPC);
    return put;
}

int fclose(FILE *stream)
{
    REAL(fclose, stream_t);
    if (is_console(stream) || !strike(F_FCLOSE)) return real_fclose(stream);
    real_fclose(stream);
    errno = ENOSPC;
    return EOF;
}

int fflush(FILE *stream)
{
    REAL(fflush, stream_t);
    if (!stream || is_console(stream) || !strike(F_FFLUSH)) return real_fflush(stream);
    set_error(stream, ENOSPC);
    return EOF;
}

static int failing_getc(FILE *stream)
{
    set_error(stream, EIO);
    return EOF;
}

int fgetc(FILE *stream)
{
    REAL(fgetc, stream_t);
    if (is_console(stream) || !strike(F_FGETC)) return real_fgetc(stream);
    return failing_getc(stream);
}

int getc(FILE *stream)
{
    REAL(getc, stream_t);
    if (is_console(stream) || !strike(F_FGETC)) return real_getc(stream);
    return failing_getc(stream);
}

int fseeko(FILE *stream, off_t offset, int origin)
{
    REAL(fseeko, seek_t);
    if (is_console(stream) || !strike(F_FSEEKO)) return real_fseeko(stream, offset, origin);
    errno = EIO;
    return -1;
}

int fseeko64(FILE *stream, off_t offset, int origin)
{
    REAL(fseeko64, seek_t);
    if (is_console(stream) || !strike(F_FSEEKO)) return real_fseeko64(stream, offset, origin);
    errno = EIO;
    return -1;
}

int fseek(FILE *stream, long offset, int origin)
{
    REAL(fseek, seekl_t);
    if (is_console(stream) || !strike(F_FSEEKO)) return real_fseek(stream, offset, origin);
    errno = EIO;
    return -1;
}

off_t ftello(FILE *stream)
{
    REAL(ftello, tell_t);
    if (is_console(stream) || !strike(F_FTELLO)) return real_ftello(stream);
    errno = EIO;
    return -1;
}

off_t ftello64(FILE *stream)
{
    REAL(ftello64, tell_t);
    if (is_console(stream) || !strike(F_FTELLO)) return real_ftello64(stream);
    errno = EIO;
    return -1;
}

long ftell(FILE *stream)
{
    REAL(ftell, telll_t);
    if (is_console(stream) || !strike(F_FTELLO)) return real_ftell(stream);
    errno = EIO;
    return -1;
}

typedef int (*rename_t)(const char *, const char *);

int rename(const char *from, const char *to)
{
    REAL(rename, rename_t);
    if (!strike(F_RENAME)) return real_rename(from, to);
    errno = EXDEV;
    return -1;
}

typedef int (*renameat_t)(int, const char *, int, const char *);

int renameat(int from_folder, const char *from, int to_folder, const char *to)
{
    REAL(renameat, renameat_t);
    if (!strike(F_RENAME)) return real_renameat(from_folder, from, to_folder, to);
    errno = EXDEV;
    return -1;
}

/* Descriptor calls: the failing call does nothing and returns -1. */
#define FAIL_OR_CALL(family, code, call) \
    do { \
        if (strike(family)) { \
            errno = (code); \
            return -1; \
        } \
        return (call); \
    } while (0)

static mode_t mode_of(int flags, va_list args)
{
    return (flags & O_CREAT) || (flags & __O_TMPFILE) == __O_TMPFILE ? (mode_t)va_arg(args, int) : 0;
}

typedef int (*open_t)(const char *, int, ...);
typedef int (*openat_t)(int, const char *, int, ...);

int open(const char *path, int flags, ...)
{
    REAL(open, open_t);
    va_list args;
    va_start(args, flags);
    mode_t mode = mode_of(flags, args);
    va_end(args);
    FAIL_OR_CALL(F_OPEN, EACCES, real_open(path, flags, mode));
}

int open64(const char *path, int flags, ...)
{
    REAL(open64, open_t);
    va_list args;
    va_start(args, flags);
    mode_t mode = mode_of(flags, args);
    va_end(args);
    FAIL_OR_CALL(F_OPEN, EACCES, real_open64(path, flags, mode));
}

int openat(int folder, const char *path, int flags, ...)
{
    REAL(openat, openat_t);
    va_list args;
    va_start(args, flags);
    mode_t mode = mode_of(flags, args);
    va_end(args);
    FAIL_OR_CALL(F_OPEN, EACCES, real_openat(folder, path, flags, mode));
}

int openat64(int folder, const char *path, int flags, ...)
{
    REAL(openat64, openat_t);
    va_list args;
    va_start(args, flags);
    mode_t mode = mode_of(flags, args);
    va_end(args);
    FAIL_OR_CALL(F_OPEN, EACCES, real_openat64(folder, path, flags, mode));
}

typedef int (*mkdirat_t)(int, const char *, mode_t);

int mkdirat(int folder, const char *path, mode_t mode)
{
    REAL(mkdirat, mkdirat_t);
    FAIL_OR_CALL(F_MKDIRAT, ENOSPC, real_mkdirat(folder, path, mode));
}

typedef int (*fstatat_t)(int, const char *, struct stat *, int);

int fstatat(int folder, const char *path, struct stat *st, int flags)
{
    REAL(fstatat, fstatat_t);
    FAIL_OR_CALL(F_FSTATAT, EIO, real_fstatat(folder, path, st, flags));
}

typedef int (*fstatat64_t)(int, const char *, struct stat64 *, int);

int fstatat64(int folder, const char *path, struct stat64 *st, int flags)
{
    REAL(fstatat64, fstatat64_t);
    FAIL_OR_CALL(F_FSTATAT, EIO, real_fstatat64(folder, path, st, flags));
}

typedef int (*unlinkat_t)(int, const char *, int);

int unlinkat(int folder, const char *path, int flags)
{
    REAL(unlinkat, unlinkat_t);
    FAIL_OR_CALL(F_UNLINKAT, EACCES, real_unlinkat(folder, path, flags));
}

typedef int (*symlinkat_t)(const char *, int, const char *);

int symlinkat(const char *target, int folder, const char *path)
{
    REAL(symlinkat, symlinkat_t);
    FAIL_OR_CALL(F_SYMLINKAT, ENOSPC, real_symlinkat(target, folder, path));
}

typedef int (*futimens_t)(int, const struct timespec[2]);
typedef int (*utimensat_t)(int, const char *, const struct timespec[2], int);

int futimens(int fd, const struct timespec times[2])
{
    REAL(futimens, futimens_t);
    FAIL_OR_CALL(F_FUTIMENS, EPERM, real_futimens(fd, times));
}

int utimensat(int folder, const char *path, const struct timespec times[2], int flags)
{
    REAL(utimensat, utimensat_t);
    FAIL_OR_CALL(F_FUTIMENS, EPERM, real_utimensat(folder, path, times, flags));
}

typedef int (*fchmod_t)(int, mode_t);

int fchmod(int fd, mode_t mode)
{
    REAL(fchmod, fchmod_t);
    FAIL_OR_CALL(F_FCHMOD, EPERM, real_fchmod(fd, mode));
}

typedef int (*fchown_t)(int, uid_t, gid_t);
typedef int (*fchownat_t)(int, const char *, uid_t, gid_t, int);

int fchown(int fd, uid_t uid, gid_t gid)
{
    REAL(fchown, fchown_t);
    FAIL_OR_CALL(F_FCHOWN, EPERM, real_fchown(fd, uid, gid));
}

int fchownat(int folder, const char *path, uid_t uid, gid_t gid, int flags)
{
    REAL(fchownat, fchownat_t);
    FAIL_OR_CALL(F_FCHOWN, EPERM, real_fchownat(folder, path, uid, gid, flags));
}

typedef int (*fsetxattr_t)(int, const char *, const void *, size_t, int);
typedef int (*setxattr_t)(const char *, const char *, const void *, size_t, int);

int fsetxattr(int fd, const char *name, const void *value, size_t size, int flags)
{
    REAL(fsetxattr, fsetxattr_t);
    FAIL_OR_CALL(F_FSETXATTR, ENOTSUP, real_fsetxattr(fd, name, value, size, flags));
}

int setxattr(const char *path, const char *name, const void *value, size_t size, int flags)
{
    REAL(setxattr, setxattr_t);
    FAIL_OR_CALL(F_FSETXATTR, ENOTSUP, real_setxattr(path, name, value, size, flags));
}

typedef int (*mknodat_t)(int, const char *, mode_t, dev_t);

int mknodat(int folder, const char *path, mode_t mode, dev_t device)
{
    REAL(mknodat, mknodat_t);
    FAIL_OR_CALL(F_MKNODAT, EPERM, real_mknodat(folder, path, mode, device));
}

typedef int (*linkat_t)(int, const char *, int, const char *, int);

int linkat(int from, const char *source, int to, const char *path, int flags)
{
    REAL(linkat, linkat_t);
    FAIL_OR_CALL(F_LINKAT, EMLINK, real_linkat(from, source, to, path, flags));
}
