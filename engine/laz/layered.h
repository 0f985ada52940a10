// Layered LAZ chunks (point formats 6 to 10): each field in its own stream.
#pragma once

#include "laz/laz.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace lidar::laz {

struct Layered;
struct LayeredFree { void operator()(Layered*) const; };
using LayeredPtr = std::unique_ptr<Layered, LayeredFree>;
LayeredPtr make_layered(const Laszip& z);
bool layered_start(Layered& l, const unsigned char* data, std::size_t size, std::uint64_t points, std::string& why);
bool layered_decode(Layered& l, std::size_t n, unsigned char* out, std::string& why);
std::uint64_t layered_points(const Layered& l);  // what the started chunk says it holds
std::uint64_t layered_unread(const Layered& l);  // its bytes, of all layers, not yet needed

}  // namespace lidar::laz
