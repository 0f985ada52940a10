// Stands in until layered chunks are decoded: every call refuses.
#include "laz/layered.h"

namespace lidar::laz {

struct Layered {};

void LayeredFree::operator()(Layered* l) const { delete l; }

LayeredPtr make_layered(const Laszip&) { return LayeredPtr(new Layered); }

static const char kNotYet[] = "layered LAZ chunks (point formats 6 to 8) are not decoded yet";

bool layered_start(Layered&, const unsigned char*, std::size_t, std::uint64_t, std::string& why) {
    why = kNotYet;
    return false;
}

bool layered_decode(Layered&, std::size_t, unsigned char*, std::string& why) {
    why = kNotYet;
    return false;
}

}  // namespace lidar::laz
