#include "cli/messages.h"

#include "console/console.h"
#include "console/format.h"

#include <cstdio>

namespace qv5 {

namespace {
std::string archiveRead; // set once, before the archive is read
} // namespace

void nameArchiveRead(const std::string& path)
{
    archiveRead = path;
}

void printError(const Error& failure, const std::string& archivePath, const char* addendum)
{
    const char* format = nullptr;
    std::string subject = failure.subject;
    switch (failure.code) {
    case ErrorCode::none:
    case ErrorCode::overwriteDeclined:
    case ErrorCode::stopped:
        return;
    case ErrorCode::openInput:
        format = "Error opening input file %s\n";
        break;
    case ErrorCode::readInput:
        format = "Error reading input file %s\n";
        break;
    case ErrorCode::inputChanged:
        format = subject.empty() ? "Error: input files changed while being archived\n"
                                 : "Error: input file %s changed while being archived\n";
        break;
    case ErrorCode::writeArchive:
        format = "Error writing archive %s\n";
        subject = archivePath;
        break;
    case ErrorCode::damagedArchive:
        format = "Error: damaged archive (%s)\n";
        subject = failure.detail;
        break;
    case ErrorCode::nameParentReference:
        format = "Error: output filename contains ../ (%s)\n";
        break;
    case ErrorCode::nameNotRelative:
        format = "Error: output filename is not relative (%s)\n";
        break;
    case ErrorCode::nameDevice:
        format = "Error: output filename names a device (%s)\n";
        break;
    case ErrorCode::pathTooLong:
        format = "Error: path too long: %s\n";
        break;
    case ErrorCode::outputThroughLink:
        format = "Error: output path %s leads through a link\n";
        break;
    case ErrorCode::outputIsArchive:
        format = "Error: output file %s is the archive being read\n";
        break;
    case ErrorCode::openOutput:
        format = "Error opening output file %s\n";
        break;
    case ErrorCode::openSingleOutput:
        format = "Error opening output file (as single file) %s\n";
        break;
    case ErrorCode::writeOutput:
        format = "Error writing output file %s\n";
        break;
    case ErrorCode::emptyOutputPath:
        format = "Error: empty output path\n";
        break;
    case ErrorCode::notAnArchive:
        format = "Error: %s is not a QV5 archive\n";
        subject = archiveRead == "-" ? std::string("standard input") : archiveRead;
        break;
    case ErrorCode::wrongKey:
        format = "Error: wrong password or key\n";
        break;
    case ErrorCode::sealCost:
        format = "Error: the sealed archive asks for more memory or time than allowed (damaged or crafted)\n";
        break;
    case ErrorCode::sealKeyMissing:
        format = failure.detail == "passphrase" ? "Error: the archive is sealed with a passphrase; give it\n"
                                                : "Error: the archive is sealed to public keys; open it with "
                                                  "-identity=KEYFILE\n";
        break;
    case ErrorCode::nameInvalid:
        format = "Error: stored name refused: %s\n";
        if (subject.empty()) subject = failure.detail;
        break;
    }
    // After a progress line (never shown when quiet) the message starts on a line of its own.
    if (failure.midLine && !consoleQuiet()) tell("\n");
    // The damage reason is the program's own text; names and paths are shown escaped.
    std::string line = format;
    if (addendum) line.insert(line.size() - 1, addendum); // before the line's end
    tell(line.c_str(), failure.code == ErrorCode::damagedArchive ? subject.c_str() : printable(subject).c_str());
    tellReason(failure.code == ErrorCode::damagedArchive ? archiveRead : subject, failure.reason);
}

void printError(const InputError& failure)
{
    const char* format = nullptr;
    switch (failure.kind) {
    case InputFailure::none:
        return;
    case InputFailure::openInput:
        format = "Error opening input file %s\n";
        break;
    case InputFailure::readInput:
        format = "Error reading input file %s\n";
        break;
    case InputFailure::pathTooLong:
        format = "Error: path too long: %s\n";
        break;
    case InputFailure::backslashInName:
        format = "Error: file name contains a backslash: %s\n";
        break;
    case InputFailure::parentInTypedPath:
        format = "Error: %s: a path with a .. component cannot be stored as typed (-fullpaths)\n";
        break;
    }
    if (failure.midLine && !consoleQuiet()) tell("\n");
    tell(format, printable(failure.path).c_str());
    tellReason(failure.path, failure.reason);
}

} // namespace qv5
