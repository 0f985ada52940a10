// The arithmetic decoder of LASzip-compressed points and its adaptive
// models. Garbage input must never make it read outside its bytes, loop or
// divide by zero: past the end it reads zeros and says so in overrun.
#pragma once

#include <cstdint>
#include <vector>

namespace lidar::laz {

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

    std::uint32_t byte() {
        if (next < end) return *next++;
        overrun = true;
        return 0;
    }
    void renorm() {
        do value = (value << 8) | byte();
        while ((length <<= 8) < (1u << 24));
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
};

}  // namespace lidar::laz
