"""An independent, deliberately simple writer of archives for the tests: hand-made archives
(old headers, names no compressor would store, lying headers, odd blocks) that the program
must read correctly or reject cleanly. It is not bit-exact to the compressor (its Huffman
codes and flushing differ); it only has to produce valid or precisely damaged streams."""
import heapq
import struct
import zlib

MAGIC = b"QV5x"


class Bits:
    def __init__(self):
        self.value = 0
        self.count = 0

    def write(self, value, n):
        assert 0 <= value < (1 << n) or n == 0
        self.value |= value << self.count
        self.count += n

    def u32(self, value):
        self.write(value & 0xFFFF, 16)
        self.write(value >> 16, 16)

    def u64(self, value):
        for shift in (0, 16, 32, 48):
            self.write((value >> shift) & 0xFFFF, 16)

    def bytes(self, closing=16):
        n = (self.count + 7) // 8
        return self.value.to_bytes(n, "little") + b"\0" * closing


def code_lengths(counts):
    """Huffman code lengths (at most 16) of the symbols with non-zero counts."""
    present = [s for s, c in enumerate(counts) if c]
    lengths = [0] * len(counts)
    if len(present) == 1:
        lengths[present[0]] = 1
        return lengths
    if not present:
        return lengths
    weights = {s: counts[s] for s in present}
    while True:
        heap = [(w, i, (s,)) for i, (s, w) in enumerate(weights.items())]
        heapq.heapify(heap)
        depth = {s: 0 for s in present}
        tie = len(heap)
        while len(heap) > 1:
            w1, _, a = heapq.heappop(heap)
            w2, _, b = heapq.heappop(heap)
            for s in a + b:
                depth[s] += 1
            heapq.heappush(heap, (w1 + w2, tie, a + b))
            tie += 1
        if max(depth.values()) <= 16:
            for s in present:
                lengths[s] = depth[s]
            return lengths
        weights = {s: max(1, w // 2) for s, w in weights.items()}


def canonical_codes(lengths):
    """Bit-reversed canonical codes, as the stream sends them (first bit = bit 0)."""
    codes = [0] * len(lengths)
    code = 0
    order = sorted((l, s) for s, l in enumerate(lengths) if l)
    previous = order[0][0] if order else 0
    for i, (l, s) in enumerate(order):
        if i:
            code = (code + 1) << (l - previous)
        previous = l
        codes[s] = int(format(code, f"0{l}b")[::-1], 2)
    return codes


class Code:
    def __init__(self, counts, groups):
        self.lengths = code_lengths(counts)
        self.codes = canonical_codes(self.lengths)
        self.groups = groups

    def write_table(self, bits):
        max_length = max(self.lengths)
        bits.write(max_length, 8)
        width = max_length.bit_length()
        start = 0
        for size in self.groups:
            group = self.lengths[start:start + size]
            mask = 0
            for q in range(8):
                if any(group[32 * q:32 * q + 32]):
                    mask |= 1 << q
            bits.write(mask, 8)
            for q in range(8):
                if mask >> q & 1:
                    for length in group[32 * q:32 * q + 32]:
                        bits.write(length, width)
            start += size

    def put(self, bits, symbol):
        assert self.lengths[symbol], symbol
        bits.write(self.codes[symbol], self.lengths[symbol])


LENGTH_EXTRA = [0] * 8 + [1] * 4 + [2] * 4 + [3] * 4 + [4] * 4 + [5] * 4 + [8, 9, 10]
DISTANCE_EXTRA = [0] * 4 + [e for e in range(1, 16) for _ in (0, 1)] + [16] * 14 + [18] * 12


def bases(extra):
    out, base = [], 0
    for e in extra:
        out.append(base)
        base += 1 << e
    return out


LENGTH_BASE = bases(LENGTH_EXTRA)
DISTANCE_BASE = bases(DISTANCE_EXTRA)


def symbol_of(value, base):
    return max(i for i, b in enumerate(base) if b <= value)


def block(bits, tokens, word_count=None, distance_counts=None):
    """Writes one block. tokens: ints 0-255 (literals) or (length, distance) pairs.
    distance_counts (60 counts) replaces the distance code's statistics, e.g. to give a
    literal-only block a distance table it never uses."""
    lit = [0] * 287
    dist = [0] * 60
    words = 0
    for t in tokens:
        if isinstance(t, tuple):
            m, d = t
            lit[256 + symbol_of(m - 4, LENGTH_BASE)] += 1
            dist[symbol_of(d, DISTANCE_BASE)] += 1
            words += 2
        else:
            lit[t] += 1
            words += 1
    bits.write(words if word_count is None else word_count, 19)
    lit_code = Code(lit, [256, 31])
    dist_code = Code(dist if distance_counts is None else distance_counts, [60])
    lit_code.write_table(bits)
    dist_code.write_table(bits)
    for t in tokens:
        if isinstance(t, tuple):
            m, d = t
            s = symbol_of(m - 4, LENGTH_BASE)
            lit_code.put(bits, 256 + s)
            if LENGTH_EXTRA[s]:
                bits.write(m - 4 - LENGTH_BASE[s], LENGTH_EXTRA[s])
            t2 = symbol_of(d, DISTANCE_BASE)
            dist_code.put(bits, t2)
            if DISTANCE_EXTRA[t2]:
                bits.write(d - DISTANCE_BASE[t2], DISTANCE_EXTRA[t2])
        else:
            lit_code.put(bits, t)


def archive(files, header_form="current", header_length=32, entry_count=None, stored_total=None,
            flags=1, blocks=None, closing=16, word_count=None, sizes=None, distance_counts=None, crcs=None):
    """files: list of (name bytes, content bytes, duplicate flag). The stored stream is the
    contents of the unmarked files, coded as literal blocks of one chunk per 16 MiB, unless
    blocks (a list of token lists) is given. crcs replaces the stored CRC-32 values."""
    with_crc = flags & 0xFF
    stream = b"".join(c for _, c, dup in files if not dup)
    header = struct.pack("<QQQQ", len(files) if entry_count is None else entry_count,
                         len(stream) if stored_total is None else stored_total, flags, 0)
    if header_form == "current":
        out = MAGIC + struct.pack("<I", header_length) + header[:header_length]
    else:
        out = header[:24]
    bits = Bits()
    counts = [0] * 256
    for name, _, _ in files:
        for b in name:
            counts[b] += 1
    names = Code(counts, [256])
    names.write_table(bits)
    for i, (name, content, dup) in enumerate(files):
        bits.u64(len(content) if sizes is None else sizes[i])
        bits.write(1 if dup else 0, 1)
        bits.write(len(name), 12)
        for b in name:
            names.put(bits, b)
        if with_crc:
            bits.u32(zlib.crc32(content) if crcs is None else crcs[i])
    if blocks is None:
        blocks = []
        for start in range(0, len(stream), 1 << 24):
            chunk = stream[start:start + (1 << 24)]
            for at in range(0, len(chunk), 262144):
                blocks.append(list(chunk[at:at + 262144]))
    for tokens in blocks:
        block(bits, tokens, word_count, distance_counts)
    return out + bits.bytes(closing)


def extension(entries, folders=(), links=(), utf8=False):
    """The metadata extension block: entries is a list of (time ns, mode) per file-table entry,
    folders of (name bytes, time, mode), links of (name bytes, target bytes, time, mode, kind)."""
    def record(kind, payload):
        return struct.pack("<BI", kind, len(payload)) + payload

    parts = [record(1, struct.pack("<I", len(entries)) + b"".join(struct.pack("<qI", t, m) for t, m in entries))]
    for name, t, m in folders:
        parts.append(record(2, struct.pack("<qIH", t, m, len(name)) + name))
    for name, target, t, m, kind in links:
        parts.append(record(3, struct.pack("<qIBH", t, m, kind, len(name)) + name + struct.pack("<H", len(target)) + target))
    body = b"".join(parts)
    head = b"QV5m" + struct.pack("<HHQ", 1, 1 if utf8 else 0, 16 + len(body) + 4)
    block = head + body
    return block + struct.pack("<I", zlib.crc32(block))


def meta_archive(files, folders=(), links=(), entry_meta=None, follows=False, **options):
    """An archive of files with a metadata extension after its closing bytes: its place in the
    header, or (follows) found by reading on, as a pipe writes it."""
    meta = entry_meta or [(0, 0o644)] * len(files)
    flags = options.pop("flags", 1) | 0x100 | (0x200 if follows else 0)
    base = archive(files, flags=flags, **options)
    block = extension(meta, folders, links)
    if not follows:
        base = base[:32] + struct.pack("<Q", len(base)) + base[40:]
    return base + block
