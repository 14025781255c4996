#include "gltf_material.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <system_error>
#include <vector>

#include "descriptor.h"
#include "interrupt.h"
#include "reliefkit_version.h"

namespace rkcli {
namespace {

using nlohmann::json;

// glTF's numeric codes.
constexpr int kFloat = 5126, kUnsignedShort = 5123;
constexpr int kArrayBuffer = 34962, kElementArrayBuffer = 34963;
constexpr int kLinear = 9729, kLinearMipmapLinear = 9987, kRepeat = 10497;

std::string base64(const std::vector<uint8_t>& bytes) {
    static constexpr char kDigits[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (size_t i = 0; i < bytes.size(); i += 3) {
        const size_t n = std::min<size_t>(3, bytes.size() - i);
        uint32_t v = uint32_t{bytes[i]} << 16;
        if (n > 1) v |= uint32_t{bytes[i + 1]} << 8;
        if (n > 2) v |= bytes[i + 2];
        for (size_t k = 0; k < 4; ++k) out += k <= n ? kDigits[(v >> (18 - 6 * k)) & 63] : '=';
    }
    return out;
}

// A URI reference to a file (RFC 3986): unreserved characters and slashes
// stay, every other byte of the UTF-8 name is percent-encoded.
std::string uri_of(const std::filesystem::path& file, const std::filesystem::path& folder) {
    const std::filesystem::path relative =
        std::filesystem::absolute(file).lexically_normal().lexically_relative(
            std::filesystem::absolute(folder).lexically_normal());
    std::string out;
    for (unsigned char c : relative.generic_string()) {
        if (std::isalnum(c) || std::strchr("-._~/", c)) {
            out += static_cast<char>(c);
        } else {
            static constexpr char kHex[] = "0123456789ABCDEF";
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
    return out;
}

bool is_gltf_image(const std::filesystem::path& file) {
    std::string ext = file.extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](unsigned char c) { return std::tolower(c); });
    return ext == ".png" || ext == ".jpg" || ext == ".jpeg";
}

template <class T>
void append(std::vector<uint8_t>& buffer, const std::vector<T>& values) {
    const auto* p = reinterpret_cast<const uint8_t*>(values.data());
    buffer.insert(buffer.end(), p, p + values.size() * sizeof(T));
}

}  // namespace

std::string gltf_material_json(const GltfMaterial& m, const std::filesystem::path& gltf_path) {
    const float long_side = static_cast<float>(std::max({m.width, m.height, 1u}));
    const float hx = 0.5f * static_cast<float>(std::max(m.width, 1u)) / long_side;
    const float hy = 0.5f * static_cast<float>(std::max(m.height, 1u)) / long_side;
    // Corners counter-clockwise from the lower left, facing +Z; the texture's
    // top row (v = 0) at the top. The tangent follows u (+X) and, with w = 1,
    // the bitangent N x T follows the picture's up (+Y), as glTF's green-up
    // normal maps expect.
    const std::vector<float> positions = {-hx, -hy, 0, hx, -hy, 0, hx, hy, 0, -hx, hy, 0};
    const std::vector<float> normals = {0, 0, 1, 0, 0, 1, 0, 0, 1, 0, 0, 1};
    const std::vector<float> tangents = {1, 0, 0, 1, 1, 0, 0, 1, 1, 0, 0, 1, 1, 0, 0, 1};
    const std::vector<float> uvs = {0, 1, 1, 1, 1, 0, 0, 0};
    const std::vector<uint16_t> indices = {0, 1, 2, 0, 2, 3};

    std::vector<uint8_t> buffer;
    json views = json::array(), accessors = json::array();
    const auto add = [&](const auto& values, const char* type, int components, int target) {
        using T = typename std::decay_t<decltype(values)>::value_type;
        json view = {{"buffer", 0},
                     {"byteOffset", buffer.size()},
                     {"byteLength", values.size() * sizeof(T)},
                     {"target", target}};
        json accessor = {{"bufferView", views.size()},
                         {"componentType", std::is_same_v<T, float> ? kFloat : kUnsignedShort},
                         {"count", values.size() / components},
                         {"type", type}};
        append(buffer, values);
        views.push_back(view);
        accessors.push_back(accessor);
        return accessors.size() - 1;
    };
    const size_t position = add(positions, "VEC3", 3, kArrayBuffer);
    accessors[position]["min"] = {-hx, -hy, 0};
    accessors[position]["max"] = {hx, hy, 0};
    const json attributes = {{"POSITION", position},
                             {"NORMAL", add(normals, "VEC3", 3, kArrayBuffer)},
                             {"TANGENT", add(tangents, "VEC4", 4, kArrayBuffer)},
                             {"TEXCOORD_0", add(uvs, "VEC2", 2, kArrayBuffer)}};
    const size_t index = add(indices, "SCALAR", 1, kElementArrayBuffer);

    // A bare file name lies in the working folder (absolute() refuses "").
    const std::filesystem::path folder =
        gltf_path.has_parent_path() ? gltf_path.parent_path() : std::filesystem::path(".");
    json images = json::array(), textures = json::array();
    const auto texture = [&](const std::filesystem::path& file) {
        if (!is_gltf_image(file)) {
            throw std::invalid_argument("glTF textures are PNG or JPEG: " + file.string());
        }
        images.push_back({{"uri", uri_of(file, folder)}});
        textures.push_back({{"sampler", 0}, {"source", images.size() - 1}});
        return json{{"index", textures.size() - 1}};
    };
    json pbr = {{"metallicFactor", 1.0}, {"roughnessFactor", 1.0}};
    json material = {{"name", m.name}};
    if (!m.base_colour.empty()) pbr["baseColorTexture"] = texture(m.base_colour);
    if (!m.orm.empty()) {
        const json orm = texture(m.orm);
        pbr["metallicRoughnessTexture"] = orm;
        if (m.orm_has_occlusion) material["occlusionTexture"] = orm;
    }
    if (!m.normal.empty()) material["normalTexture"] = texture(m.normal);
    material["pbrMetallicRoughness"] = pbr;
    if (!m.height_map.empty()) {
        material["extras"] = {
            {"height", {{"uri", uri_of(m.height_map, folder)}, {"scale", m.height_scale}}}};
    }

    json gltf = {
        {"asset", {{"version", "2.0"}, {"generator", "reliefkit " RELIEFKIT_VERSION_STRING}}},
        {"scene", 0},
        {"scenes", {{{"nodes", {0}}}}},
        {"nodes", {{{"mesh", 0}, {"name", m.name}}}},
        {"meshes",
         {{{"name", m.name},
           {"primitives", {{{"attributes", attributes}, {"indices", index}, {"material", 0}}}}}}},
        {"materials", {material}},
        {"accessors", accessors},
        {"bufferViews", views},
        {"buffers",
         {{{"byteLength", buffer.size()},
           {"uri", "data:application/octet-stream;base64," + base64(buffer)}}}},
    };
    if (!textures.empty()) {
        gltf["samplers"] = {{{"magFilter", kLinear},
                             {"minFilter", kLinearMipmapLinear},
                             {"wrapS", kRepeat},
                             {"wrapT", kRepeat}}};
        gltf["images"] = images;
        gltf["textures"] = textures;
    }
    // A name that is not UTF-8 (a file name is any bytes) is written with U+FFFD:
    // it only labels the material, and the URIs carry its bytes escaped.
    return gltf.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}

std::string write_gltf_material(const std::filesystem::path& gltf_path,
                                const GltfMaterial& material) {
    std::string text;
    try {
        text = gltf_material_json(material, gltf_path);
    } catch (const std::exception& e) {
        return e.what();
    }
    // Named by process and call, so that jobs writing beside each other never
    // meet; made new (O_EXCL, no link followed), so that a file or a link
    // planted under the name is never written through: a clash tries the next.
    static std::atomic<unsigned> serial{0};
    // Bracketed as the maps' saves are, so that Ctrl-C never ends the process
    // while the temporary file exists.
    if (!begin_save()) return "the command was stopped";
    struct Turn {
        ~Turn() { end_save(); }
    } turn;
    // The map files' rules: a directory, FIFO, socket or device under the name
    // is not replaced, nor a file this user may not write; a replaced file
    // keeps its owner (when allowed) and its permissions. A link is replaced
    // as itself, never written through.
    struct stat existing {};
    const bool exists = ::lstat(gltf_path.c_str(), &existing) == 0;
    const bool regular = exists && S_ISREG(existing.st_mode);
    if (exists && !regular && !S_ISLNK(existing.st_mode))
        return "Could not replace output file: not a regular file";
    if (regular && ::faccessat(AT_FDCWD, gltf_path.c_str(), W_OK, AT_EACCESS) != 0)
        return "Could not replace output file: " +
               std::generic_category().message(errno);
    std::filesystem::path temp;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        temp = gltf_path.parent_path() / (".reliefkit-" + std::to_string(::getpid()) + "-" +
                                          std::to_string(serial.fetch_add(1)) + ".gltf.tmp");
        // The owner's alone until its final mode is set, so that nobody the
        // replaced file kept out can open it and read what is written later.
        fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0 && errno != EEXIST) break;
    }
    // The reasons are the system's, as the maps' own failures give them.
    const auto failed = [](const char* what) {
        return std::string(what) + ": " + std::generic_category().message(errno);
    };
    Descriptor file{fd};
    if (!file.valid()) return failed("Could not write output file");
    if (regular) (void)::fchown(file.get(), existing.st_uid, existing.st_gid);
    (void)::fchmod(file.get(), regular ? existing.st_mode & 07777 : new_file_mode());
    // Some file systems report a full disk only on sync or close.
    const bool written = write_all(file.get(), text) && ::fsync(file.get()) == 0 && file.close();
    if (!written) {
        std::string why = failed("Could not write output file");
        std::error_code ignored;
        std::filesystem::remove(temp, ignored);
        return why;
    }
    std::error_code error;
    std::filesystem::rename(temp, gltf_path, error);
    if (error) {
        std::string why = "Could not replace output file: " + error.message();
        std::filesystem::remove(temp, error);
        return why;
    }
    return {};
}

}  // namespace rkcli
