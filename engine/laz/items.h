// The pointwise item codecs (versions 1 and 2): each keeps the context of
// its field between points of a chunk; init starts a chunk from its first,
// raw point, read decodes the next point's item into out.
#pragma once

#include "laz/arith.h"
#include "laz/helpers.h"
#include "laz/le.h"
#include "laz/wavepacket.h"

#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

namespace lidar::laz {

// 256 symbol models chosen by the previous value of a byte, made when first
// used and reset when first used in each chunk, as the encoder did.
struct ModelByValue {
    std::unique_ptr<SymbolModel> m[256];
    std::uint32_t chunk[256] = {};
    SymbolModel& get(unsigned v, std::uint32_t this_chunk) {
        if (!m[v]) m[v] = std::make_unique<SymbolModel>(256);
        else if (chunk[v] != this_chunk) m[v]->init();
        chunk[v] = this_chunk;
        return *m[v];
    }
};

struct Point10 {
    explicit Point10(int version);
    int version;
    std::uint32_t chunk = 0;  // counts the chunks, for ModelByValue
    unsigned char last[20] = {};
    // version 1
    std::int32_t last_x_diff[3] = {}, last_y_diff[3] = {};
    int last_incr = 0;
    IntegerDecompressor ic_intensity, ic_scan_angle;
    // version 2
    std::uint16_t last_intensity[16] = {};
    Median5 x_median[16], y_median[16];
    std::int32_t last_height[8] = {};
    SymbolModel m_scan_angle[2] = {SymbolModel(256), SymbolModel(256)};
    // both
    SymbolModel m_changed;
    IntegerDecompressor ic_point_source, ic_dx, ic_dy, ic_z;
    ModelByValue m_bit_byte, m_classification, m_user_data;
};
void point10_init(Point10& c, const unsigned char* item);
void point10_read_v1(Point10& c, ArithDecoder& dec, unsigned char* out);
void point10_read_v2(Point10& c, ArithDecoder& dec, unsigned char* out);

struct GpsTime11 {
    explicit GpsTime11(int version);
    int version;
    std::uint64_t last_time[4] = {};
    std::int32_t last_diff[4] = {}, extreme[4] = {};
    unsigned last = 0, next = 0;
    SymbolModel m_multi, m_0diff;
    IntegerDecompressor ic_time;
};
void gpstime11_init(GpsTime11& c, const unsigned char* item);
void gpstime11_read_v1(GpsTime11& c, ArithDecoder& dec, unsigned char* out);
void gpstime11_read_v2(GpsTime11& c, ArithDecoder& dec, unsigned char* out);

struct Rgb12 {
    explicit Rgb12(int version);
    std::uint16_t last[3] = {};
    SymbolModel m_used;
    IntegerDecompressor ic_rgb;           // version 1
    SymbolModel m_diff[6] = {SymbolModel(256), SymbolModel(256), SymbolModel(256),
                             SymbolModel(256), SymbolModel(256), SymbolModel(256)};  // version 2
};
void rgb12_init(Rgb12& c, const unsigned char* item);
void rgb12_read_v1(Rgb12& c, ArithDecoder& dec, unsigned char* out);
void rgb12_read_v2(Rgb12& c, ArithDecoder& dec, unsigned char* out);

struct ExtraBytes {
    ExtraBytes(int version, unsigned size);
    unsigned size;
    std::unique_ptr<unsigned char[]> last;
    IntegerDecompressor ic_byte;          // version 1: a context per byte
    std::vector<SymbolModel> m_byte;      // version 2: a model per byte
};
void bytes_init(ExtraBytes& c, const unsigned char* item);
void bytes_read_v1(ExtraBytes& c, ArithDecoder& dec, unsigned char* out);
void bytes_read_v2(ExtraBytes& c, ArithDecoder& dec, unsigned char* out);

struct WavePacket13 {
    WavePacketModels m;
    unsigned char last[kWavePacketSize] = {};
};
void wavepacket13_init(WavePacket13& c, const unsigned char* item);
void wavepacket13_read(WavePacket13& c, ArithDecoder& dec, unsigned char* out);

}  // namespace lidar::laz
