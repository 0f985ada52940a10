// LAZ benchmark data of real content: chunks decode independently, so a large
// file is a real file's chunks repeated under a new chunk table and header.
//
//   laz_make big [--reuse] SRC OUT N      SRC's full chunks N times, then its
//                                         partial last chunk; the header's
//                                         counts and extents made to match
//   laz_make copies [--reuse] SRC DIR N   DIR/c0000.laz ... N copies of SRC
//   laz_make table-check                  the table encoder against the
//                                         module's decoder on made-up tables
//   laz_make wave FORMAT VERSION LAZ TWIN  a made-up waveform file of point
//                                         format 4, 5 (items of version 2) or
//                                         9, 10 (3 or 4) and its uncompressed
//                                         twin
//
// The written table is read back with the module's chunk table reader and
// must give the sizes written, or the program fails. A fixed-chunk file with
// no full chunk (one partial chunk, e.g. 1000 points in chunks of 50,000)
// gets that chunk's count as its chunk size in the LASzip record, so its one
// chunk is full and can be repeated.
#include "laz/arith.h"
#include "laz/laz.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

namespace laz = lidar::laz;

[[noreturn]] void die(const std::string& what) {
    std::fprintf(stderr, "laz_make: %s\n", what.c_str());
    std::exit(1);
}

std::uint64_t get_le(const unsigned char* p, int n) {
    std::uint64_t v = 0;
    for (int i = n - 1; i >= 0; --i) v = v << 8 | p[i];
    return v;
}

void put_le(unsigned char* p, std::uint64_t v, int n) {
    for (int i = 0; i < n; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

double get_double(const unsigned char* p) {
    double d;
    std::memcpy(&d, p, 8);
    return d;
}

void put_double(unsigned char* p, double d) { std::memcpy(p, &d, 8); }

// The encoding side of the module's arithmetic decoder (the same models, so
// they adapt in step): an interval [base, base + length) narrowed per symbol,
// its top byte written out whenever length falls under kMinLength.
struct ArithEncoder {
    std::vector<unsigned char> out;
    std::uint32_t base = 0, length = 0xFFFFFFFFu;

    void carry() {
        // base wrapped: add one to the bytes already out, through any 0xFF.
        std::size_t i = out.size();
        while (i > 0 && out[i - 1] == 0xFF) out[--i] = 0;
        if (i > 0) ++out[i - 1];
    }
    void renorm() {
        do {
            out.push_back(static_cast<unsigned char>(base >> 24));
            base <<= 8;
        } while ((length <<= 8) < laz::kMinLength);
    }
    void add(std::uint32_t x) {
        const std::uint32_t before = base;
        base += x;
        if (base < before) carry();
    }
    void bit(laz::BitModel& m, std::uint32_t sym) {
        const std::uint32_t x = m.bit_0_prob * (length >> laz::kBitShift);
        if (sym == 0) {
            length = x;
            ++m.bit_0_count;
        } else {
            add(x);
            length -= x;
        }
        if (length < laz::kMinLength) renorm();
        if (--m.bits_until_update == 0) m.update();
    }
    void symbol(laz::SymbolModel& m, std::uint32_t sym) {
        std::uint32_t x;
        if (sym == m.last_symbol) {
            // The top symbol takes what rounding leaves of the interval.
            x = m.distribution[sym] * (length >> laz::kSymShift);
            add(x);
            length -= x;
        } else {
            x = m.distribution[sym] * (length >>= laz::kSymShift);
            add(x);
            length = m.distribution[sym + 1] * length - x;
        }
        if (length < laz::kMinLength) renorm();
        ++m.symbol_count[sym];
        if (--m.symbols_until_update == 0) m.update();
    }
    void raw(std::uint32_t bits, std::uint32_t v) {  // bits <= 19, as the decoder reads them
        add(v * (length >>= bits));
        if (length < laz::kMinLength) renorm();
    }
    void raw_bits(std::uint32_t bits, std::uint32_t v) {
        if (bits > 19) {
            raw(16, v & 0xFFFF);
            v >>= 16;
            bits -= 16;
        }
        raw(bits, v);
    }
    void done() {
        // Leave a value inside the final interval, then enough zero bytes
        // that the decoder's reads ahead stay within the coded bytes.
        bool extra = true;
        if (length > 2 * laz::kMinLength) {
            add(laz::kMinLength);
            length = laz::kMinLength >> 1;
        } else {
            add(laz::kMinLength >> 1);
            length = laz::kMinLength >> 9;
            extra = false;
        }
        renorm();
        out.push_back(0);
        out.push_back(0);
        if (extra) out.push_back(0);
    }
};

// The integer compressor's encoding side for 32-bit values: the correction
// real - pred as its bit count k (a symbol per context), then its value
// within k bits, the top 8 as a symbol and the rest raw.
struct IntegerEncoder {
    static constexpr std::uint32_t kBitsHigh = 8;
    std::vector<laz::SymbolModel> k_models;
    laz::BitModel zero_one;
    std::vector<laz::SymbolModel> correctors;  // index k-1

    explicit IntegerEncoder(std::uint32_t contexts) : k_models(contexts, laz::SymbolModel(33)) {
        for (std::uint32_t k = 1; k <= 32; ++k) correctors.emplace_back(1u << std::min(k, kBitsHigh));
    }
    // Returns k, which some items take as the context of the next value.
    std::uint32_t encode(ArithEncoder& e, std::int32_t pred, std::int32_t real, std::uint32_t context) {
        const std::uint32_t c = static_cast<std::uint32_t>(real) - static_cast<std::uint32_t>(pred);
        const std::int32_t corr = static_cast<std::int32_t>(c);
        // k: the bits of |corr| for corr <= 0, of corr - 1 above, so 0 and 1 share k = 0.
        std::uint32_t mag = corr <= 0 ? 0u - c : c - 1, k = 0;
        while (mag) {
            mag >>= 1;
            ++k;
        }
        e.symbol(k_models[context], k);
        if (k == 0) {
            e.bit(zero_one, c);
        } else if (k < 32) {
            // Negatives to [0, 2^(k-1)), positives to [2^(k-1), 2^k).
            std::uint32_t v = corr < 0 ? c + ((1u << k) - 1) : c - 1;
            if (k <= kBitsHigh) {
                e.symbol(correctors[k - 1], v);
            } else {
                const std::uint32_t low = k - kBitsHigh;
                e.symbol(correctors[k - 1], v >> low);
                e.raw_bits(low, v & ((1u << low) - 1));
            }
        }  // k == 32: only INT32_MIN, which the decoder knows from k alone
        return k;
    }
};

struct Entry {
    std::uint32_t points = 0, bytes = 0;
};

// The table after its version and count, as LASzip writes it: per chunk its
// point count (variable chunks only) in context 0 and its bytes in context 1,
// each predicted by the previous chunk's.
std::vector<unsigned char> encode_table(const std::vector<Entry>& chunks, bool variable) {
    ArithEncoder e;
    IntegerEncoder ic(2);
    Entry prev;
    for (const Entry& c : chunks) {
        if (variable)
            ic.encode(e, static_cast<std::int32_t>(prev.points), static_cast<std::int32_t>(c.points), 0);
        ic.encode(e, static_cast<std::int32_t>(prev.bytes), static_cast<std::int32_t>(c.bytes), 1);
        prev = c;
    }
    e.done();
    return std::move(e.out);
}

laz::ReadAt reader(int fd) {
    return [fd](std::uint64_t at, void* buf, std::size_t n) -> std::int64_t {
        std::size_t got = 0;
        while (got < n) {
            ssize_t r = pread(fd, static_cast<char*>(buf) + got, n - got, static_cast<off_t>(at + got));
            if (r < 0) return -1;
            if (r == 0) break;
            got += static_cast<std::size_t>(r);
        }
        return static_cast<std::int64_t>(got);
    };
}

laz::ReadAt reader(const std::vector<unsigned char>& b) {
    return [&b](std::uint64_t at, void* buf, std::size_t n) -> std::int64_t {
        if (at >= b.size()) return 0;
        const std::size_t k = std::min<std::uint64_t>(n, b.size() - at);
        std::memcpy(buf, b.data() + at, k);
        return static_cast<std::int64_t>(k);
    };
}

// Made-up tables of awkward sizes (0, 1, large jumps up and down, 2^31 - 1)
// through the encoder and the module's reader, which must agree.
int table_check() {
    std::mt19937_64 rng(20);
    int bad = 0;
    for (int round = 0; round < 200; ++round) {
        const bool variable = round % 2;
        const std::size_t n = round < 20 ? static_cast<std::size_t>(round) + 1 : 1 + rng() % 3000;
        std::vector<Entry> t(n);
        std::uint64_t area = 0;
        for (Entry& c : t) {
            switch (rng() % 5) {
                case 0: c.bytes = static_cast<std::uint32_t>(rng() % 2); break;
                case 1: c.bytes = static_cast<std::uint32_t>(rng() % 300); break;
                case 2: c.bytes = 300000 + static_cast<std::uint32_t>(rng() % 1000); break;
                case 3: c.bytes = static_cast<std::uint32_t>(rng() >> 33); break;
                default: c.bytes = round == 7 ? 0x7FFFFFFFu : static_cast<std::uint32_t>(rng() % 70000); break;
            }
            c.points = variable ? static_cast<std::uint32_t>(rng() % (round % 4 == 1 ? 0x7FFFFFFFu : 100000))
                                : 50000;
        }
        // Only a chunk in the middle may be empty: one at the end is no chunk.
        if (t.back().bytes == 0) t.back().bytes = 1;
        for (const Entry& c : t) area += c.bytes;
        // The reader wants the chunks' bytes before the table; a sparse
        // stand-in is enough, as it reads only the table.
        const std::vector<unsigned char> coded = encode_table(t, variable);
        std::vector<unsigned char> tail(8 + coded.size());
        put_le(tail.data(), 0, 4);
        put_le(tail.data() + 4, n, 4);
        std::memcpy(tail.data() + 8, coded.data(), coded.size());
        const std::uint64_t table_at = 8 + area;
        laz::ReadAt read = [&](std::uint64_t at, void* buf, std::size_t k) -> std::int64_t {
            if (at == 0 && k == 8) {
                put_le(static_cast<unsigned char*>(buf), table_at, 8);
                return 8;
            }
            if (at < table_at) return -1;
            return reader(tail)(at - table_at, buf, k);
        };
        laz::Laszip z;
        z.compressor = 2;
        z.chunk_size = variable ? laz::kVariableChunks : 50000;
        z.items = {{laz::POINT10, 1, 2}};  // a record of 1 byte keeps the count bound loose
        laz::ChunkTable got;
        std::string why;
        std::uint64_t total = 0;
        for (const Entry& c : t) total += c.points;
        if (!laz::read_chunk_table(read, 0, table_at + tail.size(), total, z, got, why)) {
            std::fprintf(stderr, "table %d: %s\n", round, why.c_str());
            ++bad;
            continue;
        }
        for (std::size_t i = 0; i < n; ++i)
            if (got.chunks[i].bytes != t[i].bytes || (variable && got.chunks[i].points != t[i].points)) {
                std::fprintf(stderr, "table %d, chunk %zu: wrote %u bytes %u points, read %" PRIu64 " %" PRIu64 "\n",
                             round, i, t[i].bytes, t[i].points, got.chunks[i].bytes, got.chunks[i].points);
                ++bad;
                break;
            }
    }
    std::printf("table-check: %d of 200 tables disagree\n", bad);
    return bad ? 1 : 0;
}

std::vector<unsigned char> slurp(const char* path) {
    FILE* f = std::fopen(path, "rb");
    if (!f) die(std::string("cannot open ") + path);
    std::vector<unsigned char> b;
    unsigned char buf[1 << 16];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) b.insert(b.end(), buf, buf + n);
    const bool bad = std::ferror(f);
    std::fclose(f);
    if (bad) die(std::string("cannot read ") + path);
    return b;
}

void write_all(FILE* f, const void* p, std::size_t n, const char* path) {
    if (n && std::fwrite(p, 1, n, f) != n) die(std::string("cannot write ") + path);
}

bool same_size(const char* path, std::uint64_t size) {
    struct stat st;
    return stat(path, &st) == 0 && static_cast<std::uint64_t>(st.st_size) == size;
}

// What a chunk's points add to the header.
struct ChunkStats {
    std::uint64_t by_return[16] = {};
    std::int32_t lo[3] = {INT32_MAX, INT32_MAX, INT32_MAX}, hi[3] = {INT32_MIN, INT32_MIN, INT32_MIN};
};

struct Source {
    std::vector<unsigned char> bytes;
    unsigned minor = 0, format = 0, reclen = 0;
    std::uint64_t data_start = 0, end = 0, points = 0;
    laz::Laszip z;
    laz::ChunkTable table;
    std::vector<ChunkStats> stats;
    std::size_t laszip_chunk_size_at = 0;  // of the chunk size in the LASzip record
};

Source load(const char* path) {
    Source s;
    s.bytes = slurp(path);
    const unsigned char* h = s.bytes.data();
    if (s.bytes.size() < 227 || std::memcmp(h, "LASF", 4) != 0) die(std::string(path) + " is not a LAS file");
    s.minor = h[25];
    const unsigned header_size = static_cast<unsigned>(get_le(h + 94, 2));
    s.data_start = get_le(h + 96, 4);
    const auto vlrs = static_cast<std::uint32_t>(get_le(h + 100, 4));
    s.format = h[104] & 63;
    s.reclen = static_cast<unsigned>(get_le(h + 105, 2));
    s.end = s.bytes.size();
    s.points = get_le(h + 107, 4);
    if (s.minor >= 4 && header_size >= 375) {
        if (get_le(h + 247, 8)) s.points = get_le(h + 247, 8);
        if (get_le(h + 243, 4) && get_le(h + 235, 8) > s.data_start) s.end = std::min(s.end, get_le(h + 235, 8));
    }
    const laz::ReadAt read = reader(s.bytes);
    std::string why;
    if (!laz::find_laszip(read, header_size, vlrs, static_cast<std::uint32_t>(s.data_start), s.z, why) ||
        !laz::read_chunk_table(read, s.data_start, s.end, s.points, s.z, s.table, why))
        die(std::string(path) + ": " + why);
    if (s.z.compressor == 1) die(std::string(path) + " is not chunked");
    for (const std::string& p : s.table.problems) die(std::string(path) + ": " + p);
    for (std::size_t at = header_size, i = 0; i < vlrs && at + 54 <= s.data_start; ++i) {
        const std::size_t len = get_le(h + at + 20, 2);
        if (std::memcmp(h + at + 2, "laszip encoded", 14) == 0 && get_le(h + at + 18, 2) == 22204)
            s.laszip_chunk_size_at = at + 54 + 12;
        at += 54 + len;
    }
    if (!s.laszip_chunk_size_at) die(std::string(path) + ": no LASzip record");

    // Decode each chunk once for its returns and extents.
    laz::DecoderPtr d = laz::make_decoder(s.z);
    if (!d) die("no decoder");
    const unsigned return_mask = s.format >= 6 ? 15 : 7;
    for (const laz::Chunk& c : s.table.chunks) {
        ChunkStats st;
        std::vector<unsigned char> points(c.points * s.reclen);
        if (!laz::start_chunk(*d, s.bytes.data() + c.offset, c.bytes, c.points, why) ||
            !laz::decode(*d, c.points, points.data(), why))
            die(std::string(path) + ": " + why);
        for (std::uint64_t i = 0; i < c.points; ++i) {
            const unsigned char* p = points.data() + i * s.reclen;
            for (int a = 0; a < 3; ++a) {
                const auto v = static_cast<std::int32_t>(get_le(p + 4 * a, 4));
                st.lo[a] = std::min(st.lo[a], v);
                st.hi[a] = std::max(st.hi[a], v);
            }
            ++st.by_return[p[14] & return_mask];
        }
        s.stats.push_back(st);
    }
    return s;
}

int make_big(const char* src, const char* out_path, std::uint64_t n, bool reuse) {
    Source s = load(src);
    const bool variable = s.z.chunk_size == laz::kVariableChunks;
    // The chunks to repeat, and the ones written once after them.
    std::vector<std::size_t> repeat, once;
    std::uint32_t chunk_size = s.z.chunk_size;
    for (std::size_t i = 0; i < s.table.chunks.size(); ++i) {
        if (variable || s.table.chunks[i].points == s.z.chunk_size) repeat.push_back(i);
        else once.push_back(i);  // the last, partial one
    }
    if (repeat.empty()) {
        chunk_size = static_cast<std::uint32_t>(s.table.chunks[0].points);
        repeat.swap(once);
    }
    std::vector<std::size_t> order;
    for (std::uint64_t k = 0; k < n; ++k) order.insert(order.end(), repeat.begin(), repeat.end());
    order.insert(order.end(), once.begin(), once.end());

    std::vector<Entry> entries;
    ChunkStats all;
    std::uint64_t points = 0, chunk_bytes = 0;
    for (std::size_t i : order) {
        const laz::Chunk& c = s.table.chunks[i];
        if (c.bytes > UINT32_MAX || c.points > UINT32_MAX) die("a chunk too large for the table");
        entries.push_back({static_cast<std::uint32_t>(c.points), static_cast<std::uint32_t>(c.bytes)});
        points += c.points;
        chunk_bytes += c.bytes;
        const ChunkStats& st = s.stats[i];
        for (int r = 0; r < 16; ++r) all.by_return[r] += st.by_return[r];
        for (int a = 0; a < 3; ++a) {
            all.lo[a] = std::min(all.lo[a], st.lo[a]);
            all.hi[a] = std::max(all.hi[a], st.hi[a]);
        }
    }
    const std::vector<unsigned char> coded = encode_table(entries, variable);
    const std::uint64_t table_at = s.data_start + 8 + chunk_bytes;
    const std::uint64_t evlr_at = table_at + 8 + coded.size();
    const std::uint64_t evlr_bytes = s.bytes.size() - s.end;
    const std::uint64_t total = evlr_at + evlr_bytes;
    if (reuse && same_size(out_path, total)) return 0;

    std::vector<unsigned char> head(s.bytes.begin(), s.bytes.begin() + static_cast<std::ptrdiff_t>(s.data_start));
    unsigned char* h = head.data();
    put_le(head.data() + s.laszip_chunk_size_at, chunk_size, 4);
    // Formats 6-10 leave the legacy counts 0; so does a count past 32 bits.
    const bool legacy = s.format < 6 && points <= UINT32_MAX;
    put_le(h + 107, legacy ? points : 0, 4);
    for (int r = 1; r <= 5; ++r) put_le(h + 111 + 4 * (r - 1), legacy ? all.by_return[r] : 0, 4);
    for (int a = 0; a < 3; ++a) {
        const double scale = get_double(h + 131 + 8 * a), offset = get_double(h + 155 + 8 * a);
        put_double(h + 179 + 16 * a, all.hi[a] * scale + offset);
        put_double(h + 187 + 16 * a, all.lo[a] * scale + offset);
    }
    if (s.minor >= 4 && head.size() >= 375) {
        put_le(h + 235, evlr_bytes ? evlr_at : 0, 8);
        put_le(h + 247, points, 8);
        for (int r = 1; r <= 15; ++r) put_le(h + 255 + 8 * (r - 1), all.by_return[r], 8);
    }

    const std::string tmp = std::string(out_path) + ".part";
    FILE* f = std::fopen(tmp.c_str(), "wb");
    if (!f) die("cannot create " + tmp);
    unsigned char b[8];
    write_all(f, head.data(), head.size(), out_path);
    put_le(b, table_at, 8);
    write_all(f, b, 8, out_path);
    for (std::size_t i : order) {
        const laz::Chunk& c = s.table.chunks[i];
        write_all(f, s.bytes.data() + c.offset, c.bytes, out_path);
    }
    put_le(b, 0, 4);
    put_le(b + 4, entries.size(), 4);
    write_all(f, b, 8, out_path);
    write_all(f, coded.data(), coded.size(), out_path);
    write_all(f, s.bytes.data() + s.end, evlr_bytes, out_path);
    if (std::fclose(f) != 0) die(std::string("cannot write ") + out_path);

    // The module must read back exactly the table written.
    const int fd = open(tmp.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) die("cannot reopen " + tmp);
    laz::Laszip z;
    laz::ChunkTable t;
    std::string why;
    const laz::ReadAt read = reader(fd);
    const bool ok = laz::find_laszip(read, static_cast<std::uint32_t>(get_le(h + 94, 2)),
                                     static_cast<std::uint32_t>(get_le(h + 100, 4)),
                                     static_cast<std::uint32_t>(s.data_start), z, why) &&
                    laz::read_chunk_table(read, s.data_start, evlr_at, points, z, t, why);
    close(fd);
    if (!ok) die(std::string(out_path) + ": " + why);
    if (!t.problems.empty()) die(std::string(out_path) + ": " + t.problems[0]);
    if (t.chunks.size() != entries.size() || t.points != points) die(std::string(out_path) + ": the table reads back wrong");
    for (std::size_t i = 0; i < entries.size(); ++i)
        if (t.chunks[i].bytes != entries[i].bytes || t.chunks[i].points != entries[i].points)
            die(std::string(out_path) + ": chunk " + std::to_string(i + 1) + " reads back wrong");
    if (std::rename(tmp.c_str(), out_path) != 0) die(std::string("cannot rename to ") + out_path);
    std::printf("%s: %" PRIu64 " points in %zu chunks of format %u, %" PRIu64 " bytes, table of %zu bytes read back\n",
                out_path, points, entries.size(), s.format, total, coded.size() + 8);
    return 0;
}

int make_copies(const char* src, const char* dir, std::uint64_t n, bool reuse) {
    const std::vector<unsigned char> b = slurp(src);
    if (mkdir(dir, 0777) != 0 && errno != EEXIST) die(std::string("cannot create ") + dir);
    for (std::uint64_t i = 0; i < n; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "/c%04" PRIu64 ".laz", i);
        const std::string path = dir + std::string(name);
        if (reuse && same_size(path.c_str(), b.size())) continue;
        FILE* f = std::fopen(path.c_str(), "wb");
        if (!f) die("cannot create " + path);
        write_all(f, b.data(), b.size(), path.c_str());
        if (std::fclose(f) != 0) die("cannot write " + path);
    }
    return 0;
}


// Waveform files made up here (point formats 4, 5, 9 and 10), each with
// its uncompressed twin: the points vary in their coordinates, GPS time
// (formats 4 and 5), scanner channel (9 and 10) and wave packets, and keep
// their other fields. The items are encoded from what the format says of
// them, apart from the module's decoder.

// The median of the last five values, which predicts the coordinates: kept
// sorted, a new value pushes out the largest while the flag is up and the
// smallest while it is down; one that lands past the middle flips the flag.
struct Median5 {
    std::int32_t v[5] = {};
    bool high = true;
    std::int32_t get() const { return v[2]; }
    void add(std::int32_t x) {
        const bool past = high ? !(x < v[2]) : !(v[2] < x);
        int i = high ? 4 : 0;
        if (high) {
            for (; i > 0 && x < v[i - 1]; --i) v[i] = v[i - 1];
        } else {
            for (; i < 4 && v[i + 1] < x; ++i) v[i] = v[i + 1];
        }
        v[i] = x;
        if (past) high = !high;
    }
};

struct Packet {
    unsigned index = 0;
    std::uint64_t offset = 0;
    std::uint32_t size = 0;
    std::uint32_t bits[4] = {};  // the return point location, dx, dy, dz as float bits
};

Packet unpack_packet(const unsigned char* p) {
    Packet k;
    k.index = p[0];
    k.offset = get_le(p + 1, 8);
    k.size = static_cast<std::uint32_t>(get_le(p + 9, 4));
    for (int i = 0; i < 4; ++i) k.bits[i] = static_cast<std::uint32_t>(get_le(p + 13 + 4 * i, 4));
    return k;
}

std::int32_t as_i32(std::uint64_t v) { return static_cast<std::int32_t>(static_cast<std::uint32_t>(v)); }

// A wave packet as a correction of the last: the descriptor index as it is,
// the offset as the last one, the last one plus its size, a 32-bit
// difference from it or whole (a symbol chosen by the last such choice),
// then the size and the four floats' bits, each predicted by the last.
struct PacketEncoder {
    laz::SymbolModel index{256};
    std::vector<laz::SymbolModel> how = std::vector<laz::SymbolModel>(4, laz::SymbolModel(4));
    IntegerEncoder offset{1}, size{1}, location{1}, xyz{3};
    unsigned last_how = 0;
    std::int32_t last_diff = 0;

    void encode(ArithEncoder& e, Packet& last, const Packet& p) {
        e.symbol(index, p.index);
        const std::uint64_t diff = p.offset - last.offset;
        const std::int32_t diff32 = as_i32(diff);
        const unsigned h = diff == 0 ? 0
                           : p.offset == last.offset + last.size ? 1
                           : static_cast<std::uint64_t>(std::int64_t{diff32}) == diff ? 2 : 3;
        e.symbol(how[last_how], h);
        last_how = h;
        if (h == 2) {
            offset.encode(e, last_diff, diff32, 0);
            last_diff = diff32;
        } else if (h == 3) {
            for (int i = 0; i < 4; ++i) e.raw(16, static_cast<std::uint32_t>(p.offset >> (16 * i)) & 0xFFFF);
        }
        size.encode(e, as_i32(last.size), as_i32(p.size), 0);
        location.encode(e, as_i32(last.bits[0]), as_i32(p.bits[0]), 0);
        for (unsigned i = 0; i < 3; ++i) xyz.encode(e, as_i32(last.bits[i + 1]), as_i32(p.bits[i + 1]), i);
        last = p;
    }
};

struct WaveFormat {
    unsigned format = 0, minor = 0, reclen = 0, colour_at = 0, colour_bytes = 0, wave_at = 0;
    bool layered = false;
};

WaveFormat wave_format(unsigned format) {
    switch (format) {
        case 4: return {4, 3, 57, 0, 0, 28, false};
        case 5: return {5, 3, 63, 28, 6, 34, false};
        case 9: return {9, 4, 59, 0, 0, 30, true};
        case 10: return {10, 4, 67, 30, 8, 38, true};
        default: die("wave: point format " + std::to_string(format) + " is not 4, 5, 9 or 10");
    }
}

// Single returns of class 2; runs of packets one after another in the
// waveform data with now and then the same packet again, a step back, a
// jump past 4 GiB, a new size, index or float.
std::vector<unsigned char> make_wave_points(const WaveFormat& f, std::size_t n) {
    std::mt19937 rng(f.format);
    auto pick = [&rng](unsigned k) { return static_cast<unsigned>(rng() % k); };
    std::vector<unsigned char> pts(n * f.reclen);
    std::int32_t x = 250000, y = -120000, z = 4000;
    std::uint64_t offset = 60;
    std::uint32_t size = 120;
    unsigned index = 1, channel = 0;
    float location = 0, d[3] = {0.0001f, -0.0002f, 0.001f};
    double t = 302400.5;
    for (std::size_t i = 0; i < n; ++i) {
        unsigned char* p = pts.data() + i * f.reclen;
        if (i) {
            x += static_cast<std::int32_t>(pick(401)) - 200 + (pick(50) == 0 ? 100000 : 0);
            y += static_cast<std::int32_t>(pick(301)) - 100;
            z += static_cast<std::int32_t>(pick(41)) - 20;
            switch (pick(20)) {
                case 0: break;
                case 1: offset -= pick(5000); break;
                case 2: offset += (std::uint64_t{1} << 33) + pick(1000); break;
                default: offset += size; break;
            }
            if (pick(10) == 0) size = 60 + pick(200);
            if (pick(8) == 0) index = 1 + pick(3);
            if (pick(12) == 0) d[pick(3)] = (static_cast<float>(pick(200)) - 100.0f) * 1e-4f;
            location = static_cast<float>(pick(2000)) * 0.25f;
            t += 1e-5 * (1 + pick(3));
            if (pick(25) == 0) channel = (channel + 1 + pick(3)) & 3;
        }
        put_le(p, static_cast<std::uint32_t>(x), 4);
        put_le(p + 4, static_cast<std::uint32_t>(y), 4);
        put_le(p + 8, static_cast<std::uint32_t>(z), 4);
        if (f.layered) {
            put_le(p + 12, 300, 2);
            p[14] = 1 | 1 << 4;
            p[15] = static_cast<unsigned char>(channel << 4);
            p[16] = 2;
            put_le(p + 20, 7, 2);
            put_double(p + 22, 302400.5);
        } else {
            p[14] = 1 | 1 << 3;
            p[15] = 2;
            put_le(p + 18, 7, 2);
            put_double(p + 20, t);
        }
        for (unsigned c = 0; c < f.colour_bytes / 2; ++c) put_le(p + f.colour_at + 2 * c, 1000 * (c + 1), 2);
        unsigned char* w = p + f.wave_at;
        w[0] = static_cast<unsigned char>(index);
        put_le(w + 1, offset, 8);
        put_le(w + 9, size, 4);
        std::memcpy(w + 13, &location, 4);
        std::memcpy(w + 17, d, 12);
    }
    return pts;
}

// Pointwise: POINT10, GPSTIME11 and RGB12 of version 2, WAVEPACKET13 of 1.
// Only the coordinates and the time change from point to point.
std::vector<unsigned char> encode_pointwise(const WaveFormat& f, const unsigned char* pts, std::size_t n) {
    std::vector<unsigned char> out(pts, pts + f.reclen);
    ArithEncoder e;
    laz::SymbolModel changed(64), used(128), time_multi(516), time_zero(6);
    IntegerEncoder dx(2), dy(22), dz(20), time(9);
    Median5 mx, my;
    std::int32_t last_z = 0, last_diff = 0;  // a chunk's heights are predicted from 0
    PacketEncoder wave;
    Packet last = unpack_packet(pts + f.wave_at);
    for (std::size_t i = 1; i < n; ++i) {
        const unsigned char* p = pts + i * f.reclen;
        const unsigned char* q = p - f.reclen;
        e.symbol(changed, 0);
        // A single return: context 1 of the x difference, then by its k.
        const std::int32_t ddx = as_i32(get_le(p, 4) - get_le(q, 4)), ddy = as_i32(get_le(p + 4, 4) - get_le(q + 4, 4));
        const std::uint32_t kx = dx.encode(e, mx.get(), ddx, 1);
        mx.add(ddx);
        const std::uint32_t ky = dy.encode(e, my.get(), ddy, 1 + (kx < 20 ? kx & ~1u : 20));
        my.add(ddy);
        const std::uint32_t k = (kx + ky) / 2;
        const std::int32_t zv = as_i32(get_le(p + 8, 4));
        dz.encode(e, last_z, zv, 1 + (k < 18 ? k & ~1u : 18));
        last_z = zv;
        const std::uint64_t td = get_le(p + 20, 8) - get_le(q + 20, 8);
        if (static_cast<std::uint64_t>(std::int64_t{as_i32(td)}) != td) die("wave: a time step too large");
        if (last_diff == 0) {
            e.symbol(time_zero, 1);
            time.encode(e, 0, as_i32(td), 0);
            last_diff = as_i32(td);
        } else {
            e.symbol(time_multi, 1);  // once the last difference, corrected
            time.encode(e, last_diff, as_i32(td), 1);
        }
        if (f.colour_bytes) e.symbol(used, 64);  // no byte of red, green or blue changed
        wave.encode(e, last, unpack_packet(p + f.wave_at));
    }
    e.done();
    out.insert(out.end(), e.out.begin(), e.out.end());
    return out;
}

// Layered: POINT14, RGBNIR14 and WAVEPACKET14 of one version. The XY layer
// carries the channel switches, the Z and wave packet layers their fields;
// the others are empty. Each scanner channel has its own models and last
// values, seeded from the channel before when first used. The wave packets
// keep contexts of their own: POINT14 hands them the channel (version 3:
// only at a switch, context 0 otherwise), and they switch as the decoder's
// items do.
struct Channel14 {
    std::vector<laz::SymbolModel> changed = std::vector<laz::SymbolModel>(8, laz::SymbolModel(128));
    laz::SymbolModel step{3};
    IntegerEncoder dx{2}, dy{22}, dz{20};
    Median5 mx, my;
    std::uint32_t x = 0, y = 0, z = 0;
};
struct PacketContext {
    std::unique_ptr<PacketEncoder> wave;
    Packet packet;
};

std::vector<unsigned char> encode_layered(const WaveFormat& f, unsigned version, const unsigned char* pts,
                                          std::size_t n) {
    std::vector<unsigned char> out(pts, pts + f.reclen);
    unsigned char count[4];
    put_le(count, n, 4);
    out.insert(out.end(), count, count + 4);
    const std::size_t layers = 9 + (f.colour_bytes ? 2 : 0) + 1;  // POINT14's, RGBNIR14's, the packets'
    const std::size_t sizes_at = out.size();
    out.resize(out.size() + 4 * layers, 0);
    if (n == 1) return out;
    std::unique_ptr<Channel14> ch[4];
    auto activate = [&](unsigned k, const Channel14* from, const unsigned char* first) {
        ch[k] = std::make_unique<Channel14>();
        Channel14& c = *ch[k];
        c.x = from ? from->x : static_cast<std::uint32_t>(get_le(first, 4));
        c.y = from ? from->y : static_cast<std::uint32_t>(get_le(first + 4, 4));
        c.z = from ? from->z : static_cast<std::uint32_t>(get_le(first + 8, 4));
    };
    PacketContext pc[4];
    auto activate_packets = [&](unsigned k, const Packet& from) {
        pc[k].wave = std::make_unique<PacketEncoder>();
        pc[k].packet = from;
    };
    unsigned cur = (pts[15] >> 4) & 3, pcur = cur;
    activate(cur, nullptr, pts);
    activate_packets(cur, unpack_packet(pts + f.wave_at));
    ArithEncoder xy, ez, ew;
    for (std::size_t i = 1; i < n; ++i) {
        const unsigned char* p = pts + i * f.reclen;
        const unsigned k = (p[15] >> 4) & 3, old = cur;
        // A single return and an unchanged time: changed-values context 3.
        xy.symbol(ch[old]->changed[3], k != old ? 64 : 0);
        const bool fresh = !ch[k];
        if (k != old) {
            xy.symbol(ch[old]->step, (k - old - 1) & 3);
            if (fresh) activate(k, ch[old].get(), nullptr);
            cur = k;
        }
        Channel14& c = *ch[k];
        const std::int32_t ddx = as_i32(get_le(p, 4) - c.x), ddy = as_i32(get_le(p + 4, 4) - c.y);
        const std::uint32_t kx = c.dx.encode(xy, c.mx.get(), ddx, 1);
        c.mx.add(ddx);
        const std::uint32_t ky = c.dy.encode(xy, c.my.get(), ddy, 1 + (kx < 20 ? kx & ~1u : 20));
        c.my.add(ddy);
        const std::uint32_t kz = (kx + ky) / 2;
        c.dz.encode(ez, as_i32(c.z), as_i32(get_le(p + 8, 4)), 1 + (kz < 18 ? kz & ~1u : 18));
        c.x = static_cast<std::uint32_t>(get_le(p, 4));
        c.y = static_cast<std::uint32_t>(get_le(p + 4, 4));
        c.z = static_cast<std::uint32_t>(get_le(p + 8, 4));
        // Version 3 predicts the packet after a switch back to a context
        // already used from the context left, and leaves it there; version 4
        // from the context entered.
        const unsigned context = k != old || version >= 4 ? k : 0;
        unsigned from = context;
        if (context != pcur) {
            if (!pc[context].wave) activate_packets(context, pc[pcur].packet);
            else if (version < 4) from = pcur;
            pcur = context;
        }
        pc[pcur].wave->encode(ew, pc[from].packet, unpack_packet(p + f.wave_at));
    }
    xy.done();
    ez.done();
    ew.done();
    put_le(out.data() + sizes_at, xy.out.size(), 4);
    put_le(out.data() + sizes_at + 4, ez.out.size(), 4);
    put_le(out.data() + sizes_at + 4 * (layers - 1), ew.out.size(), 4);
    for (const auto* l : {&xy.out, &ez.out, &ew.out}) out.insert(out.end(), l->begin(), l->end());
    return out;
}

void put_text(unsigned char* p, const char* text) { std::memcpy(p, text, std::strlen(text)); }

// The header both files share; the LAZ file's adds the compressed bit and
// the LASzip record after it.
std::vector<unsigned char> wave_header(const WaveFormat& f, const unsigned char* pts, std::size_t n) {
    const bool v14 = f.minor >= 4;
    std::vector<unsigned char> h(v14 ? 375 : 235, 0);
    put_text(h.data(), "LASF");
    put_le(h.data() + 6, v14 ? 4 | 16 : 4, 2);  // waveform packets in another file (and WKT)
    h[24] = 1;
    h[25] = static_cast<unsigned char>(f.minor);
    put_text(h.data() + 26, "laz_make");
    put_text(h.data() + 58, "laz_make wave");
    put_le(h.data() + 90, 100, 2);
    put_le(h.data() + 92, 2024, 2);
    put_le(h.data() + 94, h.size(), 2);
    put_le(h.data() + 96, h.size(), 4);
    h[104] = static_cast<unsigned char>(f.format);
    put_le(h.data() + 105, f.reclen, 2);
    std::uint64_t by_return[16] = {};
    std::int32_t lo[3] = {INT32_MAX, INT32_MAX, INT32_MAX}, hi[3] = {INT32_MIN, INT32_MIN, INT32_MIN};
    for (std::size_t i = 0; i < n; ++i) {
        const unsigned char* p = pts + i * f.reclen;
        for (int a = 0; a < 3; ++a) {
            const std::int32_t v = as_i32(get_le(p + 4 * a, 4));
            lo[a] = std::min(lo[a], v);
            hi[a] = std::max(hi[a], v);
        }
        ++by_return[p[14] & (f.layered ? 15 : 7)];
    }
    if (!f.layered) {
        put_le(h.data() + 107, n, 4);
        for (int r = 1; r <= 5; ++r) put_le(h.data() + 111 + 4 * (r - 1), by_return[r], 4);
    }
    const double scale[3] = {0.01, 0.01, 0.001}, offset[3] = {500000, 4100000, 0};
    for (int a = 0; a < 3; ++a) {
        put_double(h.data() + 131 + 8 * a, scale[a]);
        put_double(h.data() + 155 + 8 * a, offset[a]);
        put_double(h.data() + 179 + 16 * a, hi[a] * scale[a] + offset[a]);
        put_double(h.data() + 187 + 16 * a, lo[a] * scale[a] + offset[a]);
    }
    if (v14) {
        put_le(h.data() + 247, n, 8);
        for (int r = 1; r <= 15; ++r) put_le(h.data() + 255 + 8 * (r - 1), by_return[r], 8);
    }
    return h;
}

void write_file(const char* path, const std::vector<unsigned char>& b) {
    FILE* out = std::fopen(path, "wb");
    if (!out) die(std::string("cannot create ") + path);
    write_all(out, b.data(), b.size(), path);
    if (std::fclose(out) != 0) die(std::string("cannot write ") + path);
}

int make_wave(unsigned format, unsigned version, const char* laz_path, const char* twin_path) {
    const WaveFormat f = wave_format(format);
    if (f.layered ? version != 3 && version != 4 : version != 2)
        die("wave: items of version " + std::to_string(version) + " are not written for point format " +
            std::to_string(format));
    constexpr std::size_t kPoints = 5000, kChunk = 2000;
    const std::vector<unsigned char> pts = make_wave_points(f, kPoints);
    const std::vector<unsigned char> head = wave_header(f, pts.data(), kPoints);

    std::vector<unsigned char> twin = head;
    twin.insert(twin.end(), pts.begin(), pts.end());
    write_file(twin_path, twin);

    std::vector<std::pair<std::uint16_t, std::uint16_t>> items;  // type, size
    if (f.layered) {
        items.push_back({laz::POINT14, 30});
        if (f.colour_bytes) items.push_back({laz::RGBNIR14, 8});
        items.push_back({laz::WAVEPACKET14, 29});
    } else {
        items.push_back({laz::POINT10, 20});
        items.push_back({laz::GPSTIME11, 8});
        if (f.colour_bytes) items.push_back({laz::RGB12, 6});
        items.push_back({laz::WAVEPACKET13, 29});
    }
    std::vector<unsigned char> vlr(54 + 34 + 6 * items.size(), 0);
    put_text(vlr.data() + 2, "laszip encoded");
    put_le(vlr.data() + 18, 22204, 2);
    put_le(vlr.data() + 20, vlr.size() - 54, 2);
    unsigned char* body = vlr.data() + 54;
    put_le(body, f.layered ? 3 : 2, 2);
    body[4] = 3;
    body[5] = 4;
    put_le(body + 12, kChunk, 4);
    put_le(body + 16, ~std::uint64_t{0}, 8);
    put_le(body + 24, ~std::uint64_t{0}, 8);
    put_le(body + 32, items.size(), 2);
    for (std::size_t i = 0; i < items.size(); ++i) {
        const bool wave = items[i].first == laz::WAVEPACKET13;
        put_le(body + 34 + 6 * i, items[i].first, 2);
        put_le(body + 36 + 6 * i, items[i].second, 2);
        put_le(body + 38 + 6 * i, wave ? 1 : version, 2);
    }

    std::vector<unsigned char> laz_file = head;
    laz_file[104] |= 0x80;
    laz_file.insert(laz_file.end(), vlr.begin(), vlr.end());
    put_le(laz_file.data() + 96, laz_file.size(), 4);
    put_le(laz_file.data() + 100, 1, 4);
    const std::size_t table_at_at = laz_file.size();
    laz_file.resize(laz_file.size() + 8);
    std::vector<Entry> entries;
    for (std::size_t at = 0; at < kPoints; at += kChunk) {
        const std::size_t n = std::min(kChunk, kPoints - at);
        const unsigned char* p = pts.data() + at * f.reclen;
        const std::vector<unsigned char> chunk = f.layered ? encode_layered(f, version, p, n) : encode_pointwise(f, p, n);
        entries.push_back({static_cast<std::uint32_t>(n), static_cast<std::uint32_t>(chunk.size())});
        laz_file.insert(laz_file.end(), chunk.begin(), chunk.end());
    }
    put_le(laz_file.data() + table_at_at, laz_file.size(), 8);
    unsigned char table_head[8];
    put_le(table_head, 0, 4);
    put_le(table_head + 4, entries.size(), 4);
    laz_file.insert(laz_file.end(), table_head, table_head + 8);
    const std::vector<unsigned char> coded = encode_table(entries, false);
    laz_file.insert(laz_file.end(), coded.begin(), coded.end());
    write_file(laz_path, laz_file);
    std::printf("%s: %zu points of format %u in %zu chunks, %zu bytes; twin %s\n", laz_path, kPoints, format,
                entries.size(), laz_file.size(), twin_path);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "table-check") == 0) return table_check();
    if (argc == 6 && std::strcmp(argv[1], "wave") == 0)
        return make_wave(static_cast<unsigned>(std::atoi(argv[2])), static_cast<unsigned>(std::atoi(argv[3])), argv[4],
                         argv[5]);
    const bool reuse = argc > 2 && std::strcmp(argv[2], "--reuse") == 0;
    if (reuse) {
        for (int i = 2; i + 1 < argc; ++i) argv[i] = argv[i + 1];
        --argc;
    }
    char* end = nullptr;
    const std::uint64_t n = argc == 5 ? std::strtoull(argv[4], &end, 10) : 0;
    if (argc != 5 || *end || n == 0 || (std::strcmp(argv[1], "big") != 0 && std::strcmp(argv[1], "copies") != 0)) {
        std::fprintf(stderr,
                     "usage: laz_make big [--reuse] SRC OUT N\n"
                     "       laz_make copies [--reuse] SRC DIR N\n"
                     "       laz_make table-check\n"
                     "       laz_make wave FORMAT VERSION OUT.laz TWIN.las\n");
        return 2;
    }
    return argv[1][0] == 'b' ? make_big(argv[2], argv[3], n, reuse) : make_copies(argv[2], argv[3], n, reuse);
}
