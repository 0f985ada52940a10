#include "laz/arith.h"

namespace lidar::laz {

namespace {
constexpr std::uint32_t kBitMaxCount = 1u << kBitShift;
constexpr std::uint32_t kSymMaxCount = 1u << kSymShift;
}  // namespace

void BitModel::init() {
    bit_0_count = 1;
    bit_count = 2;
    bit_0_prob = 1u << (kBitShift - 1);
    update_cycle = bits_until_update = 4;
}

void BitModel::update() {
    if ((bit_count += update_cycle) > kBitMaxCount) {
        bit_count = (bit_count + 1) >> 1;
        bit_0_count = (bit_0_count + 1) >> 1;
        if (bit_0_count == bit_count) ++bit_count;
    }
    std::uint32_t scale = 0x80000000u / bit_count;
    bit_0_prob = (bit_0_count * scale) >> (31 - kBitShift);
    update_cycle = (5 * update_cycle) >> 2;
    if (update_cycle > 64) update_cycle = 64;
    bits_until_update = update_cycle;
}

SymbolModel::SymbolModel(std::uint32_t n) : symbols(n), last_symbol(n - 1) {
    // Above 16 symbols a table finds the symbol's neighbourhood in one step.
    if (n > 16) {
        std::uint32_t table_bits = 3;
        while (n > (1u << (table_bits + 2))) ++table_bits;
        table_size = 1u << table_bits;
        table_shift = kSymShift - table_bits;
        decoder_table.assign(table_size + 2, 0);
    }
    distribution.assign(n, 0);
    symbol_count.assign(n, 0);
    init();
}

void SymbolModel::init() {
    total_count = 0;
    update_cycle = symbols;
    for (auto& c : symbol_count) c = 1;
    update();
    symbols_until_update = update_cycle = (symbols + 6) >> 1;
}

void SymbolModel::update() {
    if ((total_count += update_cycle) > kSymMaxCount) {
        total_count = 0;
        for (auto& c : symbol_count) {
            c = (c + 1) >> 1;
            total_count += c;
        }
    }
    std::uint32_t sum = 0, s = 0;
    std::uint32_t scale = 0x80000000u / total_count;
    if (table_size == 0) {
        for (std::uint32_t k = 0; k < symbols; ++k) {
            distribution[k] = (scale * sum) >> (31 - kSymShift);
            sum += symbol_count[k];
        }
    } else {
        std::uint32_t* table = decoder_table.data();
        for (std::uint32_t k = 0; k < symbols; ++k) {
            distribution[k] = (scale * sum) >> (31 - kSymShift);
            sum += symbol_count[k];
            std::uint32_t w = distribution[k] >> table_shift;
            while (s < w) table[++s] = k - 1;
        }
        table[0] = 0;
        while (s <= table_size) table[++s] = symbols - 1;
    }
    update_cycle = (5 * update_cycle) >> 2;
    std::uint32_t max_cycle = (symbols + 6) << 3;
    if (update_cycle > max_cycle) update_cycle = max_cycle;
    symbols_until_update = update_cycle;
}

bool ArithDecoder::init(const unsigned char* begin, const unsigned char* stop) {
    next = begin;
    end = stop;
    overrun = false;
    length = 0xFFFFFFFFu;
    bool whole = stop - begin >= 4;
    value = byte() << 24;
    value |= byte() << 16;
    value |= byte() << 8;
    value |= byte();
    return whole;
}



std::uint32_t ArithDecoder::more() {
    if (refill && refill(*this, source) && next < end) return *next++;
    overrun = true;
    return 0;
}

std::uint32_t ArithDecoder::read_bits(std::uint32_t bits) {
    if (bits > 19) {
        std::uint32_t low = read_short();
        return (read_bits(bits - 16) << 16) | low;
    }
    std::uint32_t sym = value / (length >>= bits);
    value -= length * sym;
    if (length < kMinLength) renorm();
    return sym;
}

std::uint32_t ArithDecoder::read_short() {
    std::uint32_t sym = value / (length >>= 16);
    value -= length * sym;
    renorm();
    return sym & 0xFFFF;
}

std::uint32_t ArithDecoder::read_int() {
    std::uint32_t low = read_short();
    return (read_short() << 16) | low;
}

std::uint64_t ArithDecoder::read_int64() {
    std::uint64_t low = read_int();
    return (std::uint64_t{read_int()} << 32) | low;
}

IntegerDecompressor::IntegerDecompressor(std::uint32_t bits, std::uint32_t n_contexts,
                                         std::uint32_t high, std::uint32_t range)
    : contexts(n_contexts ? n_contexts : 1), bits_high(high) {
    if (range) {
        corr_range = range;
        corr_bits = 0;
        while (range) {
            range >>= 1;
            ++corr_bits;
        }
        if (corr_range == (1u << (corr_bits - 1))) --corr_bits;
        corr_min = -static_cast<std::int32_t>(corr_range / 2);
    } else if (bits && bits < 32) {
        corr_bits = bits;
        corr_range = 1u << bits;
        corr_min = -static_cast<std::int32_t>(corr_range / 2);
    } else {
        corr_bits = 32;
        corr_range = 0;
        corr_min = INT32_MIN;
    }
    m_bits.assign(contexts, SymbolModel(corr_bits + 1));
    m_corrector.reserve(corr_bits);
    for (std::uint32_t i = 1; i <= corr_bits; ++i)
        m_corrector.emplace_back(1u << (i <= bits_high ? i : bits_high));
    bits_ready.assign(contexts, 1);  // fresh from their constructors
    corrector_ready = ~std::uint64_t{0};
}

void IntegerDecompressor::init() {
    bits_ready.assign(contexts, 0);
    m_corrector0.init();
    corrector_ready = 0;
}


}  // namespace lidar::laz
