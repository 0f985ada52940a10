// The arithmetic decoder of LASzip-compressed points and its adaptive
// models. Garbage input must never make it read outside its bytes, loop or
// divide by zero: past the end it reads zeros and says so in overrun.
#pragma once

#include <cstdint>
#include <vector>

namespace lidar::laz {

constexpr std::uint32_t kMinLength = 1u << 24;  // of the coder's interval
constexpr std::uint32_t kBitShift = 13, kSymShift = 15;  // of the models' probabilities

struct BitModel {
    BitModel() { init(); }
    void init();
    void update();
    std::uint32_t bit_0_count = 0, bit_count = 0, bit_0_prob = 0;
    std::uint32_t bits_until_update = 0, update_cycle = 0;
};

struct SymbolModel {
    explicit SymbolModel(std::uint32_t symbols);
    void init();
    void update();
    std::uint32_t symbols = 0, last_symbol = 0;
    std::uint32_t total_count = 0, update_cycle = 0, symbols_until_update = 0;
    std::uint32_t table_size = 0, table_shift = 0;
    std::vector<std::uint32_t> distribution, symbol_count, decoder_table;
};

struct ArithDecoder {
    // Decodes from [begin, end): never reads outside it; reading past the end
    // yields zeros and sets overrun.
    bool init(const unsigned char* begin, const unsigned char* end);  // false: fewer bytes than the start needs
    std::uint32_t decode_bit(BitModel& m);
    std::uint32_t decode_symbol(SymbolModel& m);
    std::uint32_t read_bits(std::uint32_t bits);
    std::uint32_t read_short();
    std::uint32_t read_int();
    std::uint64_t read_int64();
    bool overrun = false;

    const unsigned char* next = nullptr;
    const unsigned char* end = nullptr;
    std::uint32_t value = 0, length = 0;
    // If set, called when the bytes run out, to point next and end at the
    // following ones (false: there are none): a long stream is decoded
    // through a small window. Kept by init.
    bool (*refill)(ArithDecoder&, void*) = nullptr;
    void* source = nullptr;

    std::uint32_t byte() {
        if (next < end) [[likely]] return *next++;
        return more();
    }
    std::uint32_t more();
    void renorm() {
        do value = (value << 8) | byte();
        while ((length <<= 8) < kMinLength);
    }
};

// LASzip's "integer compressor", decoding side: a value as a correction of a
// prediction, its bit count k coded first, per context.
struct IntegerDecompressor {
    explicit IntegerDecompressor(std::uint32_t bits = 16, std::uint32_t contexts = 1,
                                 std::uint32_t bits_high = 8, std::uint32_t range = 0);
    void init();  // resets its models (per chunk)
    std::int32_t decompress(ArithDecoder& dec, std::int32_t pred, std::uint32_t context = 0);
    std::uint32_t k() const { return k_; }

    std::uint32_t contexts = 1, bits_high = 8, corr_bits = 0, corr_range = 0;
    std::int32_t corr_min = 0;
    std::uint32_t k_ = 0;
    std::vector<SymbolModel> m_bits;       // one per context: k
    BitModel m_corrector0;                 // k == 0: the corrector is 0 or 1
    std::vector<SymbolModel> m_corrector;  // index k-1 for k = 1 .. corr_bits
    // Models reset since the chunk began: a chunk uses only a few of them,
    // and resetting all for each of COPC's small chunks was most of its time.
    std::uint64_t corrector_ready = 0;
    std::vector<std::uint8_t> bits_ready;
};

// Decoding a symbol is most of a point's time: inline in the codecs.
inline std::uint32_t ArithDecoder::decode_bit(BitModel& m) {
    std::uint32_t x = m.bit_0_prob * (length >> kBitShift);
    std::uint32_t sym = value >= x;
    if (sym == 0) {
        length = x;
        ++m.bit_0_count;
    } else {
        value -= x;
        length -= x;
    }
    if (length < kMinLength) renorm();
    if (--m.bits_until_update == 0) m.update();
    return sym;
}

inline std::uint32_t ArithDecoder::decode_symbol(SymbolModel& m) {
    std::uint32_t sym, x, y = length;
    const std::uint32_t* dist = m.distribution.data();
    if (m.table_size) {
        length >>= kSymShift;
        std::uint32_t dv = value / length;
        std::uint32_t t = dv >> m.table_shift;
        // Only damaged data puts the value past the interval; stay in the table.
        if (t > m.table_size) t = m.table_size;
        sym = m.decoder_table[t];
        std::uint32_t n = m.decoder_table[t + 1] + 1;
        while (n > sym + 1) {
            std::uint32_t k = (sym + n) >> 1;
            if (dist[k] > dv) n = k;
            else sym = k;
        }
        x = dist[sym] * length;
        if (sym != m.last_symbol) y = dist[sym + 1] * length;
    } else {
        x = sym = 0;
        length >>= kSymShift;
        std::uint32_t n = m.symbols, k = n >> 1;
        do {
            std::uint32_t z = length * dist[k];
            if (z > value) {
                n = k;
                y = z;
            } else {
                sym = k;
                x = z;
            }
        } while ((k = (sym + n) >> 1) != sym);
    }
    value -= x;
    length = y - x;
    // A zero interval only comes from damaged data; it would never renormalise.
    if (length == 0) {
        length = kMinLength;
        overrun = true;
    }
    if (length < kMinLength) renorm();
    ++m.symbol_count[sym];
    if (--m.symbols_until_update == 0) m.update();
    return sym;
}

inline std::int32_t IntegerDecompressor::decompress(ArithDecoder& dec, std::int32_t pred, std::uint32_t context) {
    if (context >= contexts) context = contexts - 1;
    if (!bits_ready[context]) {
        m_bits[context].init();
        bits_ready[context] = 1;
    }
    std::uint32_t k = k_ = dec.decode_symbol(m_bits[context]);
    std::uint32_t c;  // the corrector, two's complement
    if (k == 0) {
        c = dec.decode_bit(m_corrector0);
    } else if (k < 32) {
        if (!(corrector_ready >> (k - 1) & 1)) {
            m_corrector[k - 1].init();
            corrector_ready |= std::uint64_t{1} << (k - 1);
        }
        c = dec.decode_symbol(m_corrector[k - 1]);
        if (k > bits_high) {
            std::uint32_t low_bits = k - bits_high;
            c = (c << low_bits) | dec.read_bits(low_bits);
        }
        if (c >= (1u << (k - 1))) c += 1;
        else c -= (1u << k) - 1;
    } else {
        c = static_cast<std::uint32_t>(corr_min);
    }
    // Wraps as the encoder's 32-bit arithmetic did, without signed overflow.
    std::uint32_t real = static_cast<std::uint32_t>(pred) + c;
    if (static_cast<std::int32_t>(real) < 0) real += corr_range;
    else if (real >= corr_range) real -= corr_range;
    return static_cast<std::int32_t>(real);
}

}  // namespace lidar::laz
