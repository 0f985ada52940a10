#include "crs.h"

#include <array>
#include <atomic>
#include <charconv>
#include <cctype>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <future>
#include <initializer_list>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#ifdef LIDAR_HAVE_PROJ
#include <proj.h>
#include <dlfcn.h>

namespace lidar {
namespace {

// PROJ is loaded when a file first gives a coordinate system, not when the
// audit starts: its library and the network and TLS libraries it needs take
// the start of every run from 4 to 30 ms, half of a header-only pass over a
// few hundred tiles. Never unloaded: its objects live until the end.
struct ProjLibrary {
#define LIDAR_PROJ_FUNCTIONS(F) \
    F(proj_as_projjson) \
    F(proj_context_create) \
    F(proj_context_destroy) \
    F(proj_context_get_database_path) \
    F(proj_context_set_database_path) \
    F(proj_create) \
    F(proj_create_crs_to_crs_from_pj) \
    F(proj_create_from_database) \
    F(proj_create_from_wkt) \
    F(proj_crs_get_coordinate_system) \
    F(proj_crs_get_sub_crs) \
    F(proj_cs_get_axis_info) \
    F(proj_cs_get_type) \
    F(proj_destroy) \
    F(proj_get_id_auth_name) \
    F(proj_get_id_code) \
    F(proj_get_name) \
    F(proj_get_source_crs) \
    F(proj_get_type) \
    F(proj_identify) \
    F(proj_int_list_destroy) \
    F(proj_is_crs) \
    F(proj_is_equivalent_to_with_ctx) \
    F(proj_list_destroy) \
    F(proj_list_get) \
    F(proj_list_get_count) \
    F(proj_log_func) \
    F(proj_normalize_for_visualization) \
    F(proj_string_list_destroy) \
    F(proj_trans)
#define LIDAR_PROJ_MEMBER(name) decltype(&::name) name = nullptr;
    LIDAR_PROJ_FUNCTIONS(LIDAR_PROJ_MEMBER)
    bool loaded = false;
};

const ProjLibrary& proj_library() {
    static const ProjLibrary library = [] {
        ProjLibrary l;
        void* h = dlopen(LIDAR_PROJ_SONAME, RTLD_NOW | RTLD_LOCAL);
        if (!h) return l;
        bool all = true;
#define LIDAR_PROJ_RESOLVE(name) all = all && (l.name = reinterpret_cast<decltype(&::name)>(dlsym(h, #name)));
        LIDAR_PROJ_FUNCTIONS(LIDAR_PROJ_RESOLVE)
        l.loaded = all;
        return l;
    }();
    return library;
}

}  // namespace
}  // namespace lidar

#define proj_as_projjson (lidar::proj_library().proj_as_projjson)
#define proj_context_create (lidar::proj_library().proj_context_create)
#define proj_context_destroy (lidar::proj_library().proj_context_destroy)
#define proj_context_get_database_path (lidar::proj_library().proj_context_get_database_path)
#define proj_context_set_database_path (lidar::proj_library().proj_context_set_database_path)
#define proj_create (lidar::proj_library().proj_create)
#define proj_create_crs_to_crs_from_pj (lidar::proj_library().proj_create_crs_to_crs_from_pj)
#define proj_create_from_database (lidar::proj_library().proj_create_from_database)
#define proj_create_from_wkt (lidar::proj_library().proj_create_from_wkt)
#define proj_crs_get_coordinate_system (lidar::proj_library().proj_crs_get_coordinate_system)
#define proj_crs_get_sub_crs (lidar::proj_library().proj_crs_get_sub_crs)
#define proj_cs_get_axis_info (lidar::proj_library().proj_cs_get_axis_info)
#define proj_cs_get_type (lidar::proj_library().proj_cs_get_type)
#define proj_destroy (lidar::proj_library().proj_destroy)
#define proj_get_id_auth_name (lidar::proj_library().proj_get_id_auth_name)
#define proj_get_id_code (lidar::proj_library().proj_get_id_code)
#define proj_get_name (lidar::proj_library().proj_get_name)
#define proj_get_source_crs (lidar::proj_library().proj_get_source_crs)
#define proj_get_type (lidar::proj_library().proj_get_type)
#define proj_identify (lidar::proj_library().proj_identify)
#define proj_int_list_destroy (lidar::proj_library().proj_int_list_destroy)
#define proj_is_crs (lidar::proj_library().proj_is_crs)
#define proj_is_equivalent_to_with_ctx (lidar::proj_library().proj_is_equivalent_to_with_ctx)
#define proj_list_destroy (lidar::proj_library().proj_list_destroy)
#define proj_list_get (lidar::proj_library().proj_list_get)
#define proj_list_get_count (lidar::proj_library().proj_list_get_count)
#define proj_log_func (lidar::proj_library().proj_log_func)
#define proj_normalize_for_visualization (lidar::proj_library().proj_normalize_for_visualization)
#define proj_string_list_destroy (lidar::proj_library().proj_string_list_destroy)
#define proj_trans (lidar::proj_library().proj_trans)
#endif

namespace lidar {
namespace {

// ---------------------------------------------------------------------------
// GeoKeyDirectory

constexpr unsigned kGeographicType = 2048;
constexpr unsigned kProjectedCSType = 3072;
constexpr unsigned kVerticalCSType = 4096;
constexpr unsigned kProjLinearUnits = 3076;
constexpr unsigned kVerticalUnits = 4099;
constexpr unsigned kUserDefined = 32767;

// EPSG codes the directory states; 0 where it states none.
struct KeyCodes {
    unsigned horizontal = 0;
    unsigned vertical = 0;
    unsigned linear_units = 0, vertical_units = 0;  // units of measure
    std::string problem;
};

// Metres in a unit of length by its EPSG code; 0 for one not known here.
double unit_metres(unsigned code) {
    switch (code) {
        case 9001: return 1;
        case 9002: return 0.3048;
        case 9003: return 1200.0 / 3937;  // the US survey foot
        default: return 0;
    }
}

unsigned u16(std::string_view s, std::size_t at) {
    return static_cast<unsigned char>(s[at]) | static_cast<unsigned>(static_cast<unsigned char>(s[at + 1])) << 8;
}

KeyCodes read_keys(std::string_view keys) {
    KeyCodes k;
    if (keys.size() < 8) {
        k.problem = "the GeoKeyDirectory holds " + std::to_string(keys.size()) + " bytes, less than its 8-byte header";
        return k;
    }
    if (const unsigned version = u16(keys, 0); version != 1) {
        k.problem = "the GeoKeyDirectory has version " + std::to_string(version) + ", not 1";
        return k;
    }
    const std::size_t count = u16(keys, 6);
    if (8 + 8 * count > keys.size()) {
        k.problem = "the GeoKeyDirectory lists " + std::to_string(count) + " keys, its " +
                    std::to_string(keys.size()) + " bytes hold " + std::to_string((keys.size() - 8) / 8);
        return k;
    }
    bool projected_given = false;
    unsigned projected = 0, geographic = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t at = 8 + 8 * i;
        const unsigned id = u16(keys, at), location = u16(keys, at + 2), value = u16(keys, at + 6);
        unsigned* code = id == kProjectedCSType ? &projected
                         : id == kGeographicType ? &geographic
                         : id == kVerticalCSType ? &k.vertical
                         : id == kProjLinearUnits ? &k.linear_units
                         : id == kVerticalUnits ? &k.vertical_units
                                                : nullptr;
        if (!code) continue;
        // A unit elsewhere than in the directory is no code: unknown.
        const bool unit = id == kProjLinearUnits || id == kVerticalUnits;
        if (unit && location != 0) continue;
        // These keys are short codes kept in the directory itself; one that
        // points into another record has no code to read.
        if (location != 0) {
            k.problem = "GeoKey " + std::to_string(id) + " refers to record " + std::to_string(location) +
                        " instead of holding its code";
            return k;
        }
        projected_given = projected_given || id == kProjectedCSType;
        // 0 is undefined and 32767 user-defined: neither names an EPSG entry.
        *code = value == 0 || value == kUserDefined ? 0 : value;
    }
    // A user-defined projection on a known base is still not that base.
    k.horizontal = projected_given ? projected : geographic;
    return k;
}

// An input text marked by its kind, so that keys and a WKT never meet as equal.
std::string tagged(char kind, std::string_view text) {
    std::string out(1, kind);
    return out.append(text);
}

std::string epsg(unsigned code) { return code ? "EPSG:" + std::to_string(code) : std::string(); }

// ---------------------------------------------------------------------------
// WKT read without PROJ: WKT1 and WKT2 share the shape KEYWORD[item, ...]
// (or round brackets), an item being a quoted text ("" doubles a quote), a
// bare number or enumeration, or a nested node.

struct WktNode {
    std::string keyword;  // upper case
    std::vector<std::string> values;
    std::vector<WktNode> children;
};

struct WktReader {
    std::string_view s;
    std::size_t at = 0;
    std::string error;

    bool fail(const std::string& why) {
        error = why + " at byte " + std::to_string(at);
        return false;
    }
    void skip() {
        while (at < s.size() && std::isspace(static_cast<unsigned char>(s[at]))) ++at;
    }
    static bool word_char(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; }

    bool node(WktNode& n, int depth) {
        // Real systems nest a few levels; a hostile file must not exhaust the stack.
        if (depth > 32) return fail("nesting too deep");
        skip();
        const std::size_t start = at;
        while (at < s.size() && word_char(s[at])) ++at;
        if (at == start) return fail("a keyword expected");
        for (std::size_t i = start; i < at; ++i) n.keyword += static_cast<char>(std::toupper(static_cast<unsigned char>(s[i])));
        skip();
        if (at >= s.size() || (s[at] != '[' && s[at] != '(')) return fail("[ expected after " + n.keyword);
        const char close = s[at++] == '[' ? ']' : ')';
        for (;;) {
            skip();
            if (at >= s.size()) return fail(std::string("missing ") + close);
            if (s[at] == '"') {
                std::string text;
                for (++at;; ++at) {
                    if (at >= s.size()) return fail("unterminated text");
                    if (s[at] == '"' && (at + 1 >= s.size() || s[at + 1] != '"')) break;
                    if (s[at] == '"') ++at;
                    text += s[at];
                }
                ++at;
                n.values.push_back(std::move(text));
            } else {
                const std::size_t token = at;
                while (at < s.size() && (word_char(s[at]) || s[at] == '.' || s[at] == '-' || s[at] == '+')) ++at;
                const std::size_t end = at;
                skip();
                if (at < s.size() && (s[at] == '[' || s[at] == '(')) {
                    at = token;
                    if (!node(n.children.emplace_back(), depth + 1)) return false;
                } else if (end == token) {
                    return fail("a value expected");
                } else {
                    n.values.emplace_back(s.substr(token, end - token));
                }
            }
            skip();
            if (at < s.size() && s[at] == ',') {
                ++at;
            } else if (at < s.size() && s[at] == close) {
                ++at;
                return true;
            } else {
                return fail(std::string(", or ") + close + " expected");
            }
        }
    }
};

bool is_one_of(const std::string& keyword, std::initializer_list<std::string_view> keywords) {
    for (std::string_view k : keywords)
        if (keyword == k) return true;
    return false;
}

bool horizontal_node(const WktNode& n) {
    return is_one_of(n.keyword, {"PROJCS", "GEOGCS", "GEOCCS", "PROJCRS", "PROJECTEDCRS", "GEOGCRS",
                                 "GEOGRAPHICCRS", "GEODCRS", "GEODETICCRS"});
}
bool vertical_node(const WktNode& n) { return is_one_of(n.keyword, {"VERT_CS", "VERTCS", "VERTCRS", "VERTICALCRS"}); }

// The EPSG authority closing the system's own definition (not one of its
// parts'), else the system's name.
std::string wkt_label(const WktNode* crs) {
    if (!crs) return {};
    for (auto c = crs->children.rbegin(); c != crs->children.rend(); ++c) {
        if (!is_one_of(c->keyword, {"AUTHORITY", "ID"}) || c->values.size() < 2) continue;
        std::string authority = c->values[0];
        for (char& ch : authority) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
        if (authority == "EPSG") return "EPSG:" + c->values[1];
    }
    return crs->values.empty() ? std::string() : crs->values[0];
}

// Metres in one unit of a projected or vertical system's axes, as its WKT
// states them (a UNIT of the system or of its first axis); 0 for other
// systems, whose units are angles, and where none is stated.
double wkt_metres(const WktNode* crs) {
    if (!crs || !is_one_of(crs->keyword, {"PROJCS", "PROJCRS", "PROJECTEDCRS", "VERT_CS", "VERTCS", "VERTCRS",
                                          "VERTICALCRS"}))
        return 0;
    auto unit_of = [](const WktNode& n) {
        for (const WktNode& c : n.children) {
            if (!is_one_of(c.keyword, {"UNIT", "LENGTHUNIT"}) || c.values.size() < 2) continue;
            double v = 0;
            const std::string& t = c.values[1];
            const auto [end, error] = std::from_chars(t.data(), t.data() + t.size(), v);
            return error == std::errc() && end == t.data() + t.size() && v > 0 && std::isfinite(v) ? v : 0.0;
        }
        return 0.0;
    };
    if (const double v = unit_of(*crs)) return v;
    for (const WktNode& c : crs->children)
        if (c.keyword == "AXIS") return unit_of(c);
    return 0;
}

// ---------------------------------------------------------------------------

#ifdef LIDAR_HAVE_PROJ
struct PjFree {
    void operator()(PJ* p) const { proj_destroy(p); }
};
using Pj = std::unique_ptr<PJ, PjFree>;
#endif

#ifdef LIDAR_HAVE_PROJ
// A PROJ context and what was made in it. PROJ's objects belong to the
// context that made them, and a context serves one thread at a time: each
// identification borrows one of these, so that distinct systems are
// identified on as many threads at once.
struct Worker {
    PJ_CONTEXT* ctx = nullptr;
    std::vector<std::string> log;  // PROJ's errors during the current call
    // The classes met, remade in ctx, as far as this worker has compared
    // systems with them; one not remade whole matches nothing.
    struct Copy {
        Pj h, v;
        bool whole = true;
    };
    std::vector<Copy> systems;
    Worker() = default;
    Worker(const Worker&) = delete;
    Worker& operator=(const Worker&) = delete;
    ~Worker() {
        systems.clear();  // before the context they were made in
        if (ctx) proj_context_destroy(ctx);
    }
};
#endif

// A class of equivalent systems: its first system as PROJJSON (horizontal,
// vertical; "" where absent), from which any context remakes it.
struct System {
    std::string h, v;
    bool whole = true;  // both parts given could be written out
};

// Identifications by the bytes identified (keys also by the codes they
// give), and the classes of equivalent systems met in this process. A delivery holds many files in a few
// systems: each distinct system costs one identification, every other file
// a lookup. Only the lookups and taking a class's number are locked: the
// identifying, which takes PROJ up to a quarter of a second, is not.
class Registry {
public:
    Registry() {
#ifdef LIDAR_HAVE_PROJ
        if (!lidar::proj_library().loaded) return;
        ctx_ = proj_context_create();
        if (!ctx_) return;
        // Without its database PROJ can name nothing. Making an entry here
        // also builds PROJ's own lazily made state before this registry is
        // complete, so that state outlives the objects destroyed with it.
        proj_ok_ = Pj(proj_create_from_database(ctx_, "EPSG", "4326", PJ_CATEGORY_CRS, 0, nullptr)) != nullptr;
        if (!proj_ok_) {
            proj_context_destroy(ctx_);
            ctx_ = nullptr;
        } else if (const char* path = proj_context_get_database_path(ctx_)) {
            db_path_ = path;
        }
#endif
    }
    ~Registry() {
#ifdef LIDAR_HAVE_PROJ
        transforms_.clear();  // before the context they were made in
        idle_.clear();
        if (ctx_) proj_context_destroy(ctx_);
#endif
    }
    Registry(const Registry&) = delete;
    Registry& operator=(const Registry&) = delete;

    bool uses_proj() const { return proj_ok_; }
    std::size_t identifications() const { return identifications_.load(); }

    Crs identify(const std::string& key, std::string_view geokeys, std::string_view wkt) {
        return once(cache_, key, [&] {
            Crs c = wkt.empty() ? from_keys(geokeys) : from_wkt(wkt);
            c.present = true;
            return c;
        });
    }

    bool to_lonlat(const Crs& c, const double* xy, std::size_t n, double* lonlat, std::string& why) {
#ifdef LIDAR_HAVE_PROJ
        if (proj_ok_) {
            const std::lock_guard<std::mutex> lock(transform_mutex_);
            PJ* p = transform_of(c, why);
            if (!p) return false;
            for (std::size_t i = 0; i < n; ++i) {
                PJ_COORD in;
                in.xyzt = {xy[2 * i], xy[2 * i + 1], 0, 0};
                const PJ_COORD out = proj_trans(p, PJ_FWD, in);
                // A geographic file with other numbers than degrees comes
                // out as it went in: off the earth is no place either.
                if (!(std::fabs(out.lp.lam) <= 180 + 1e-9 && std::fabs(out.lp.phi) <= 90 + 1e-9)) {
                    char b[128];
                    std::snprintf(b, sizeof b, "%.10g %.10g", xy[2 * i], xy[2 * i + 1]);
                    why = "PROJ cannot place " + std::string(b) + " of " + c.horizontal + " on the earth";
                    return false;
                }
                lonlat[2 * i] = out.lp.lam;
                lonlat[2 * i + 1] = out.lp.phi;
            }
            return true;
        }
#else
        (void)xy, (void)n, (void)lonlat, (void)c;
#endif
        why = "transforming coordinates needs PROJ";
        return false;
    }

    std::string horizontal_definition(const Crs& c) {
#ifdef LIDAR_HAVE_PROJ
        if (proj_ok_ && c.system >= 0) {
            const std::lock_guard<std::mutex> lock(mutex_);
            if (static_cast<std::size_t>(c.system) < classes_.size() && !classes_[static_cast<std::size_t>(c.system)].h.empty())
                return classes_[static_cast<std::size_t>(c.system)].h;
        }
#endif
        return c.horizontal.starts_with("EPSG:") ? c.horizontal : std::string();
    }

private:
    static constexpr std::size_t kCacheBytes = 64u << 20;

    // What make gives for key, made by the first thread to ask; the others
    // asking meanwhile wait for it, so nothing is identified twice at once.
    template <class Map, class Make>
    Crs once(Map& made, const typename Map::key_type& key, Make make) {
        std::promise<Crs> mine;
        std::shared_future<Crs> known;
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            if (const auto hit = made.find(key); hit != made.end()) {
                known = hit->second;
            } else {
                room_for(key);
                made.emplace(key, mine.get_future().share());
            }
        }
        if (known.valid()) return known.get();
        try {
            Crs c = make();
            mine.set_value(c);
            return c;
        } catch (...) {
            // Those waiting learn of it; the next to ask tries again.
            mine.set_exception(std::current_exception());
            const std::lock_guard<std::mutex> lock(mutex_);
            made.erase(key);
            throw;
        }
    }

    // Bounded, should every file of a delivery differ: the classes stay,
    // only texts are identified again. mutex_ held.
    void room_for(const std::string& key) {
        if (cached_bytes_ + key.size() > kCacheBytes) {
            cache_.clear();
            cached_bytes_ = 0;
        }
        cached_bytes_ += key.size();
    }
    void room_for(const std::array<unsigned, 4>&) {}  // 16 bytes the codes and units

#ifdef LIDAR_HAVE_PROJ
    // One transformation per class, made at its first use in the registry's
    // own context: transform_mutex_ held.
    PJ* transform_of(const Crs& c, std::string& why) {
        if (const auto hit = transforms_.find(c.system); hit != transforms_.end()) {
            if (!hit->second) why = "PROJ finds no transformation from " + c.horizontal + " to EPSG:4326";
            return hit->second.get();
        }
        std::string h;
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            if (c.system >= 0 && static_cast<std::size_t>(c.system) < classes_.size())
                h = classes_[static_cast<std::size_t>(c.system)].h;
        }
        if (h.empty()) {
            why = c.present ? "PROJ identifies no horizontal coordinate system" : "no coordinate system";
            return nullptr;
        }
        Pj& t = transforms_[c.system];
        const Pj from(proj_create(ctx_, h.c_str()));
        const Pj wgs84(proj_create_from_database(ctx_, "EPSG", "4326", PJ_CATEGORY_CRS, 0, nullptr));
        const Pj raw(from && wgs84 ? proj_create_crs_to_crs_from_pj(ctx_, from.get(), wgs84.get(), nullptr, nullptr)
                                   : nullptr);
        // A file's X is the easting or longitude whatever order the system
        // declares its axes in; GeoJSON wants longitude first too.
        if (raw) t = Pj(proj_normalize_for_visualization(ctx_, raw.get()));
        if (!t) why = "PROJ finds no transformation from " + c.horizontal + " to EPSG:4326";
        return t.get();
    }

    // A context of one's own for an identification, handed back after it.
    struct Borrowed {
        Registry& from;
        std::unique_ptr<Worker> w;
        explicit Borrowed(Registry& r) : from(r), w(r.borrow()) {}
        ~Borrowed() {
            const std::lock_guard<std::mutex> lock(from.mutex_);
            from.idle_.push_back(std::move(w));
        }
        Borrowed(const Borrowed&) = delete;
        Borrowed& operator=(const Borrowed&) = delete;
    };

    std::unique_ptr<Worker> borrow() {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            if (!idle_.empty()) {
                std::unique_ptr<Worker> w = std::move(idle_.back());
                idle_.pop_back();
                return w;
            }
        }
        auto w = std::make_unique<Worker>();
        w->ctx = proj_context_create();
        if (!w->ctx) throw std::bad_alloc();  // PROJ makes a context unless memory runs out
        proj_log_func(w->ctx, w.get(), &collect);
        // PROJ shares one connection to its database among all contexts, and
        // SQLite serialises it: two threads identifying at once took longer
        // than one. It shares by the path as written, so each worker after
        // the first names the same file another way ("dir/././proj.db") and
        // has a connection of its own (opening one costs a few milliseconds,
        // which a delivery in one system need not pay). Should that fail,
        // the shared one still serves.
        std::size_t n;
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            n = workers_made_++ % 64;
        }
        if (n > 0 && !db_path_.empty()) {
            std::string path = db_path_;
            const std::size_t slash = path.rfind('/');
            for (; n > 0; --n) path.insert(slash == std::string::npos ? 0 : slash + 1, "./");
            if (!proj_context_set_database_path(w->ctx, path.c_str(), nullptr, nullptr))
                proj_context_set_database_path(w->ctx, db_path_.c_str(), nullptr, nullptr);
        }
        return w;
    }
#endif

    Crs from_keys(std::string_view geokeys) {
        const KeyCodes k = read_keys(geokeys);
        if (!k.problem.empty()) {
            Crs c;
            c.problem = k.problem;
            return c;
        }
        // Only the codes name a system: directories that differ elsewhere,
        // or citations beside them that name each tile, are a system met before.
        return once(by_codes_, std::array<unsigned, 4>{k.horizontal, k.vertical, k.linear_units, k.vertical_units},
                    [&] { return from_codes(k); });
    }

    Crs from_codes(const KeyCodes& k) {
        ++identifications_;
        Crs c;
        // A system's code says its units; the unit keys serve where no code
        // names one (a user-defined system) or where PROJ is not at hand.
        c.metres_per_unit = unit_metres(k.linear_units);
        c.vertical_metres_per_unit = unit_metres(k.vertical_units);
#ifdef LIDAR_HAVE_PROJ
        if (proj_ok_) {
            Borrowed b(*this);
            Worker& w = *b.w;
            Pj h = by_code(w, k.horizontal), v = by_code(w, k.vertical);
            if (h) c.horizontal = epsg(k.horizontal);
            if (v) c.vertical = epsg(k.vertical);
            if (h) c.metres_per_unit = metres_per_unit(w, h.get());
            if (v) c.vertical_metres_per_unit = metres_per_unit(w, v.get());
            c.identified = h != nullptr;
            c.system = class_of(w, std::move(h), std::move(v));
            return c;
        }
#endif
        c.horizontal = epsg(k.horizontal);
        c.vertical = epsg(k.vertical);
        c.identified = k.horizontal != 0;
        if (k.horizontal || k.vertical) c.system = class_of(c.horizontal + "|" + c.vertical);
        return c;
    }

    Crs from_wkt(std::string_view wkt) {
        ++identifications_;
#ifdef LIDAR_HAVE_PROJ
        if (proj_ok_) {
            Borrowed b(*this);
            return from_wkt_with_proj(*b.w, wkt);
        }
#endif
        Crs c;
        WktReader reader{wkt, 0, {}};
        WktNode root;
        // Text after the first object is ignored, as PROJ ignores it.
        if (!reader.node(root, 0)) {
            c.problem = "the WKT does not parse: " + reader.error;
            return c;
        }
        const WktNode* top = &root;
        if (top->keyword == "BOUNDCRS") {
            top = nullptr;
            for (const WktNode& part : root.children)
                if (part.keyword == "SOURCECRS" && !part.children.empty()) top = &part.children[0];
        }
        const WktNode *h = nullptr, *v = nullptr;
        if (top && is_one_of(top->keyword, {"COMPD_CS", "COMPOUNDCRS"})) {
            for (const WktNode& part : top->children) {
                if (!h && horizontal_node(part)) h = &part;
                if (!v && vertical_node(part)) v = &part;
            }
        } else if (top && horizontal_node(*top)) {
            h = top;
        } else if (top && vertical_node(*top)) {
            v = top;
        }
        if (!h && !v) {
            c.problem = "the WKT describes " + (top ? top->keyword : root.keyword) + ", not a coordinate system";
            return c;
        }
        c.horizontal = wkt_label(h);
        c.vertical = wkt_label(v);
        c.metres_per_unit = wkt_metres(h);
        c.vertical_metres_per_unit = wkt_metres(v);
        c.identified = !c.horizontal.empty();
        // Stated EPSG codes compare as the keys' do; anything else by its text.
        c.system = class_of(c.horizontal.starts_with("EPSG:") ? c.horizontal + "|" + c.vertical
                                                              : tagged('W', wkt));
        return c;
    }

    int class_of(std::string key) {
        const std::lock_guard<std::mutex> lock(mutex_);
        return text_systems_.emplace(std::move(key), static_cast<int>(text_systems_.size())).first->second;
    }

#ifdef LIDAR_HAVE_PROJ
    static void collect(void* worker, int level, const char* message) {
        if (level <= PJ_LOG_ERROR && message) static_cast<Worker*>(worker)->log.emplace_back(message);
    }

    static Pj by_code(Worker& w, unsigned code) {
        if (!code) return nullptr;
        return Pj(proj_create_from_database(w.ctx, "EPSG", std::to_string(code).c_str(), PJ_CATEGORY_CRS, 0, nullptr));
    }

    Crs from_wkt_with_proj(Worker& w, std::string_view wkt) {
        Crs c;
        w.log.clear();
        const std::string text(wkt);
        // Real files order and nest WKT1 loosely (UNIT before PROJECTION,
        // a VERTCS inside the PROJCS); PROJ reads those when not strict, and
        // only what it cannot read at all is a fault of the file.
        const char* const options[] = {"STRICT=NO", nullptr};
        PROJ_STRING_LIST warnings = nullptr, errors = nullptr;
        Pj crs(proj_create_from_wkt(w.ctx, text.c_str(), options, &warnings, &errors));
        std::string why = errors && errors[0] ? errors[0] : !w.log.empty() ? w.log.front() : "PROJ gives no reason";
        proj_string_list_destroy(warnings);
        proj_string_list_destroy(errors);
        if (!crs) {
            c.problem = "the WKT does not parse: " + why.substr(0, why.find('\n'));
            return c;
        }
        if (!proj_is_crs(crs.get())) {
            const char* name = proj_get_name(crs.get());
            c.problem = "the WKT describes " + std::string(name ? name : "an object") + ", not a coordinate system";
            return c;
        }
        Pj h, v;
        crs = unbound(w, std::move(crs));
        switch (proj_get_type(crs.get())) {
        case PJ_TYPE_COMPOUND_CRS:
            h = unbound(w, Pj(proj_crs_get_sub_crs(w.ctx, crs.get(), 0)));
            v = unbound(w, Pj(proj_crs_get_sub_crs(w.ctx, crs.get(), 1)));
            break;
        case PJ_TYPE_VERTICAL_CRS:
            v = std::move(crs);
            break;
        default:
            h = std::move(crs);
        }
        c.horizontal = name_of(w, h.get());
        c.vertical = name_of(w, v.get());
        c.metres_per_unit = metres_per_unit(w, h.get());
        c.vertical_metres_per_unit = metres_per_unit(w, v.get());
        c.identified = !c.horizontal.empty();
        c.system = class_of(w, std::move(h), std::move(v));
        return c;
    }

    // A bound system is its source system plus a way to WGS 84; the file's
    // coordinates are in the source.
    static Pj unbound(Worker& w, Pj crs) {
        if (crs && proj_get_type(crs.get()) == PJ_TYPE_BOUND_CRS) return Pj(proj_get_source_crs(w.ctx, crs.get()));
        return crs;
    }

    // Metres in one unit of crs's first axis where its axes are lengths (a
    // projected or vertical system), else 0: degrees are no length.
    static double metres_per_unit(Worker& w, const PJ* crs) {
        if (!crs) return 0;
        const Pj cs(proj_crs_get_coordinate_system(w.ctx, crs));
        if (!cs) return 0;
        const PJ_COORDINATE_SYSTEM_TYPE type = proj_cs_get_type(w.ctx, cs.get());
        if (type != PJ_CS_TYPE_CARTESIAN && type != PJ_CS_TYPE_VERTICAL) return 0;
        double factor = 0;
        if (!proj_cs_get_axis_info(w.ctx, cs.get(), 0, nullptr, nullptr, nullptr, &factor, nullptr, nullptr, nullptr))
            return 0;
        return factor > 0 ? factor : 0;
    }

    static std::string name_of(Worker& w, const PJ* crs) {
        if (!crs) return {};
        std::string name;
        int* confidence = nullptr;
        if (PJ_OBJ_LIST* matches = proj_identify(w.ctx, crs, "EPSG", nullptr, &confidence)) {
            // PROJ rates 70 and above for systems of equal definition, the
            // names differing at most (an ESRI "GCS_WGS_1984" is EPSG:4326);
            // 25 for names alike but definitions not, which names nothing.
            // The best match comes first.
            if (proj_list_get_count(matches) > 0 && confidence[0] >= 70) {
                const Pj best(proj_list_get(w.ctx, matches, 0));
                const char* authority = best ? proj_get_id_auth_name(best.get(), 0) : nullptr;
                const char* code = best ? proj_get_id_code(best.get(), 0) : nullptr;
                if (authority && code) name = std::string(authority) + ":" + code;
            }
            proj_list_destroy(matches);
        }
        proj_int_list_destroy(confidence);
        if (name.empty()) {
            const char* own = proj_get_name(crs);
            name = own ? own : "";
        }
        return name;
    }

    static constexpr PJ_COMPARISON_CRITERION kSame = PJ_COMP_EQUIVALENT_EXCEPT_AXIS_ORDER_GEOGCRS;

    static bool same(Worker& w, const Pj& a, const Pj& b) {
        if (!a || !b) return !a && !b;
        // A LAS file's X is the longitude whatever order a geographic
        // system's axes are declared in, so that order does not tell files apart.
        return proj_is_equivalent_to_with_ctx(w.ctx, a.get(), b.get(), kSame) != 0;
    }

    static std::string json_of(Worker& w, const Pj& p, bool& whole) {
        if (!p) return {};
        const char* j = proj_as_projjson(w.ctx, p.get(), nullptr);
        whole = whole && j;
        return j ? j : "";
    }

    static Pj remade(Worker& w, const std::string& json) {
        return json.empty() ? nullptr : Pj(proj_create(w.ctx, json.c_str()));
    }

    // The class of h + v: an equivalent one met before, else a new one. The
    // worker compares with its own copies of the classes, unlocked; only
    // copying the classes met since and taking the next number are locked.
    int class_of(Worker& w, Pj h, Pj v) {
        if (!h && !v) return -1;
        std::size_t compared = 0;
        std::optional<System> mine;  // written out once no class matches
        for (;;) {
            std::vector<System> fresh;
            {
                const std::lock_guard<std::mutex> lock(mutex_);
                if (mine && compared == classes_.size()) {
                    classes_.push_back(std::move(*mine));
                    w.systems.push_back({std::move(h), std::move(v), true});
                    return static_cast<int>(compared);
                }
                fresh.assign(classes_.begin() + static_cast<std::ptrdiff_t>(w.systems.size()), classes_.end());
            }
            for (const System& s : fresh) {
                Worker::Copy& copy = w.systems.emplace_back();
                copy.h = remade(w, s.h);
                copy.v = remade(w, s.v);
                copy.whole = s.whole && (copy.h || s.h.empty()) && (copy.v || s.v.empty());
            }
            for (; compared < w.systems.size(); ++compared) {
                const Worker::Copy& s = w.systems[compared];
                if (s.whole && same(w, h, s.h) && same(w, v, s.v)) return static_cast<int>(compared);
            }
            if (!mine) {
                mine.emplace();
                mine->h = json_of(w, h, mine->whole);
                mine->v = json_of(w, v, mine->whole);
            }
        }
    }

    PJ_CONTEXT* ctx_ = nullptr;  // for the transformations
    std::string db_path_;         // PROJ's database, "" where it is no file
    std::size_t workers_made_ = 0;
    std::mutex transform_mutex_;  // ctx_ and transforms_
    std::unordered_map<int, Pj> transforms_;  // class -> to EPSG:4326, null where PROJ has none
    std::vector<std::unique_ptr<Worker>> idle_;
    std::vector<System> classes_;
#endif

    bool proj_ok_ = false;
    std::atomic<std::size_t> identifications_{0};
    std::mutex mutex_;  // everything below, and idle_ and classes_
    std::unordered_map<std::string, std::shared_future<Crs>> cache_;  // by the bytes identified
    std::size_t cached_bytes_ = 0;
    std::unordered_map<std::string, int> text_systems_;  // without PROJ: class by codes or text
    std::map<std::array<unsigned, 4>, std::shared_future<Crs>> by_codes_;  // the keys' codes and units
};

Registry& registry() {
    static Registry r;
    return r;
}

// The bytes a system is identified from, marked by their kind so keys and
// a WKT never meet as equal, and the keys' three records by their lengths
// so that no two sets of them run together alike.
std::string cache_key(std::string_view geokeys, std::string_view geo_doubles, std::string_view geo_ascii,
                      std::string_view wkt) {
    if (!wkt.empty()) return tagged('W', wkt);
    std::string key = "K" + std::to_string(geokeys.size()) + " " + std::to_string(geo_doubles.size()) + " ";
    key.append(geokeys).append(geo_doubles).append(geo_ascii);
    return key;
}

}  // namespace

// Only the codes the directory itself holds name a system: the double and
// ASCII parameters describe user-defined ones, which stay unidentified.
Crs identify_crs(std::string_view geokeys, std::string_view geo_doubles, std::string_view geo_ascii,
                 std::string_view wkt) {
    const bool wkt_given = !wkt.empty();
    // The record is a NUL-terminated text, often padded with NULs.
    while (!wkt.empty() && wkt.back() == '\0') wkt.remove_suffix(1);
    if (wkt.empty() && geokeys.empty()) {
        Crs c;
        c.present = wkt_given;
        if (wkt_given) c.problem = "the WKT record holds no text";
        return c;
    }
    return registry().identify(cache_key(geokeys, geo_doubles, geo_ascii, wkt), geokeys, wkt);
}

bool crs_uses_proj() { return registry().uses_proj(); }

std::size_t crs_identifications() { return registry().identifications(); }

std::string horizontal_definition(const Crs& c) { return registry().horizontal_definition(c); }

bool to_lonlat(const Crs& c, const double* xy, std::size_t n, double* lonlat, std::string& why) {
    return registry().to_lonlat(c, xy, n, lonlat, why);
}

}  // namespace lidar
