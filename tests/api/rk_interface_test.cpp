// The rk_ interface against the old one: the same pixels and bytes, a status and
// message for every way a call can fail, the struct_size rule on the real
// structs, the write callback's abort, and images wrapped with padded rows.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "image_helpers.h"
#include "heightmap/albedo.h"
#include "load/jxr_helper_process.h"
#include "material/ao.h"
#include "material/curvature.h"
#include "material/roughness.h"
#include "save/dds_writer.h"
#include "save/exr_writer.h"
#include "save/save_outcome.h"
#include "sink_recorder.h"
#include "temp_dir.h"

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

namespace {

// The command's joining of sink texts (cli/text_conversion.cpp).
std::string joined(const Texts& texts) {
    std::string out;
    for (const std::string& t : texts) {
        if (!out.empty() && !out.ends_with(": ") && !out.ends_with('\n')) out += '\n';
        out += t;
    }
    while (out.ends_with('\n')) out.pop_back();
    return out;
}

bool same_pixels(const imgbuf* a, const imgbuf* b) {
    if (rk_image_width(a) != rk_image_width(b) || rk_image_height(a) != rk_image_height(b)) return false;
    for (uint32_t y = 0; y < rk_image_height(a); ++y)
        if (std::memcmp(imgbuf_row(a, y), imgbuf_row(b, y), 16 * size_t{rk_image_width(a)})) return false;
    return true;
}

rk_status load_memory(const Bytes& bytes, Img& out) {
    imgbuf* img = nullptr;
    const rk_status s = rk_load_memory(bytes.data(), bytes.size(), &img);
    out.reset(img);
    return s;
}

rk_status load_file(const fs::path& path, Img& out) {
    imgbuf* img = nullptr;
    const rk_status s = rk_load_file(path.c_str(), &img);
    out.reset(img);
    return s;
}

template <class P>
Img map_of(rk_status (*make)(const imgbuf*, const P*, imgbuf**), const imgbuf* src, const P* params) {
    imgbuf* out = nullptr;
    EXPECT_EQ(make(src, params, &out), RK_OK) << rk_last_error();
    return Img(out);
}

int append(void* user, const void* data, size_t size) {
    auto* b = static_cast<Bytes*>(user);
    b->insert(b->end(), static_cast<const uint8_t*>(data), static_cast<const uint8_t*>(data) + size);
    return 0;
}

Bytes png_bytes(const imgbuf* img, const rk_png_params* params = nullptr) {
    Bytes out;
    EXPECT_EQ(rk_save_png_write(img, params, append, &out), RK_OK) << rk_last_error();
    return out;
}

TEST(RkLoad, FileAndMemoryGiveLoadImagesPixelsAndMessageWhateverTheName) {
    std::vector<fs::path> files;
    for (const char* dir : {"corpus", "jpeg", "jxr", "crashers/load"})
        for (const auto& e : fs::directory_iterator(fs::path(RK_TEST_DATA) / dir))
            if (e.path().filename() != "README") files.push_back(e.path());
    for (const fs::path& path : files) {
        SinkRecorder sink;
        Img old(load_image(widen(path).c_str())), file, memory, renamed;
        const std::string old_message = joined(sink.texts());
        const rk_status status = load_file(path, file);
        EXPECT_EQ(std::string(rk_last_error()), old ? "" : old_message) << path;
        // The same bytes from memory, and from a file whose name hides JPEG XR.
        const Bytes bytes = read_bytes(path);
        EXPECT_EQ(load_memory(bytes, memory), status) << path;
        EXPECT_EQ(load_file(process_temp_dir().write(path.filename().string() + ".bin", bytes), renamed), status);
        ASSERT_EQ(status == RK_OK, old != nullptr) << path << ": " << rk_last_error();
        for (const Img* loaded : {&file, &memory, &renamed})
            EXPECT_TRUE(!old || same_pixels(loaded->get(), old.get())) << path;
    }
}

// Bytes of a TGA header of w x h true-colour pixels, and nothing after it.
Bytes tga_header(uint16_t w, uint16_t h) {
    return {0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, uint8_t(w), uint8_t(w >> 8), uint8_t(h), uint8_t(h >> 8), 24, 0};
}

TEST(RkStatus, EveryFailureHasItsStatusAndMessage) {
    const TempDir dir;
    const fs::path missing = dir / "missing.png", nowhere = dir / "no" / "x.png";
    Bytes crc = read_bytes(RK_TEST_DATA "/corpus/rgb8.png");
    crc.at(29) ^= 1;
    Img img = noise(4, 3, 1);
    alignas(16) float px[32];
    rk_height_params newer;
    rk_height_params_init(&newer, sizeof newer);
    newer.struct_size += 4;
    rk_normal_params out_of_range;
    rk_normal_params_init(&out_of_range, sizeof out_of_range);
    out_of_range.blur_kind = 3;
    const Img shot = noise(4, 3, 1), small = noise(2, 2, 1);  // img is loaded into below
    const imgbuf* photos[4] = {shot.get(), shot.get(), shot.get(), small.get()};
    const float wild[3] = {0, 400.5f, 0}, level[3] = {0, 180, -180}, sides[3] = {0, 120, 240};
    const float overhead[3] = {90, 90, 90};
    rk_photometric_params from_above;  // every light without an elevation at 90 degrees
    rk_photometric_params_init(&from_above, sizeof from_above);
    from_above.elevation = 90;
    rk_photometric_result result{};
    result.struct_size = sizeof result;
    rk_integrate_params blue3;
    rk_integrate_params_init(&blue3, sizeof blue3);
    blue3.blue = 3;
    const Img empty = make_img(0, 3), patch = noise(4, 3, 1);
    rk_ao_params ao_few;
    rk_ao_params_init(&ao_few, sizeof ao_few);
    ao_few.directions = 3;
    rk_dds_params bc4_normals;
    rk_dds_params_init(&bc4_normals, sizeof bc4_normals);
    bc4_normals.format = RK_DDS_BC4, bc4_normals.normal_map = 1;
    rk_light odd_light{};
    odd_light.struct_size = 6;
    // A JPEG header of 8192 x 8192 pixels (libjpeg's default Huffman tables)
    // whose scan has no data, only a comment before the end marker.
    Bytes no_scan_data = {0xFF, 0xD8, 0xFF, 0xDB, 0, 67, 0};
    no_scan_data.resize(no_scan_data.size() + 64, 1);
    no_scan_data.insert(no_scan_data.end(), {0xFF, 0xC0, 0, 11, 8, 0x20, 0, 0x20, 0, 1, 1, 0x11, 0, 0xFF, 0xDA, 0, 8,
                                             1, 1, 0, 0, 63, 0, 0xFF, 0xFE, 0, 2, 0xFF, 0xD9});
    Bytes lossless = no_scan_data, mapped_true_colour = tga_header(1, 1);
    lossless.at(72) = 0xC3;
    mapped_true_colour.at(1) = 1;  // a true-colour image with a colour map beside it
    Bytes mapped_grey = mapped_true_colour;
    mapped_grey.at(2) = 3;
    imgbuf* out = nullptr;
    struct Case {
        std::function<rk_status()> call;
        rk_status status;
        std::string message;  // the whole message, or its start when it ends in "..."
    };
    const std::vector<Case> cases = {
        {[&] { return rk_load_memory(nullptr, 0, &out); }, RK_ERROR_ARGUMENT, "rk_load_memory: data is null"},
        {[&] { return rk_load_memory(px, 0, &out); }, RK_ERROR_FORMAT, "rk_load_memory: the data is empty (0 bytes)"},
        {[&] { return rk_normal_map(shot.get(), &out_of_range, &out); }, RK_ERROR_ARGUMENT, "rk_normal_map: blur_kind 3 is not 0 to 2"},
        {[&] { return rk_image_wrap(px + 1, 1, 1, 16, &out); }, RK_ERROR_ARGUMENT, "rk_image_wrap: pixels are not 16-byte aligned"},
        {[&] { return rk_image_wrap(px, 2, 1, 16, &out); }, RK_ERROR_ARGUMENT, "rk_image_wrap: stride_bytes 16 is less than 16 * width (32)"},
        {[&] { return rk_load_file(missing.c_str(), &out); }, RK_ERROR_IO, "rk_load_file: " + missing.string() + ": No such file or directory"},
        {[&] { return rk_load_file(dir.str().c_str(), &out); }, RK_ERROR_IO, "rk_load_file: " + dir.str() + ": not a regular file (a directory)"},
        {[&] { return load_memory({'a', 'b', 'c'}, img); }, RK_ERROR_FORMAT, "jpeglib error:\nNot a JPEG file: starts with 0x61 0x62\nDDS image loader: File too small.\nTGA..."},
        {[&] { return load_memory(crc, img); }, RK_ERROR_DAMAGED, "pnglib error: IHDR: CRC error"},
        {[&] { return load_memory(tga_header(65535, 65535), img); }, RK_ERROR_LIMIT, "...TGA image loader: Image data too large."},
        {[&] { return rk_image_create(65536, 4096, &out); }, RK_ERROR_LIMIT, "rk_image_create: 65536 x 4096 pixels is more than RK_MAX_IMAGE_PIXELS (268435455)"},
        {[&] { return rk_image_create(268435456, 0, &out); }, RK_ERROR_LIMIT, "rk_image_create: 16 * width (4294967296) reaches 2^32 bytes"},
        {[&] { return rk_image_resample(empty.get(), 3, 3, &out); }, RK_ERROR_ARGUMENT, "rk_image_resample: src has no pixels (0 x 3)"},
        {[&] { return load_memory(read_bytes(RK_TEST_DATA "/jpeg/cmyk_20x10.jpg"), img); }, RK_ERROR_UNSUPPORTED, "JPEG image loader: Colour space CMYK not supported."},
        {[&] { return load_memory(no_scan_data, img); }, RK_ERROR_DAMAGED, "JPEG image loader: Image data cut short."},
        {[&] { return load_memory(lossless, img); }, RK_ERROR_UNSUPPORTED, "jpeglib error:\nUnsupported JPEG process: SOF type 0xc3..."},
        {[&] { return load_memory(mapped_true_colour, img); }, RK_ERROR_UNSUPPORTED, "...TGA image loader: Files with colormaps (palettes) are not supported."},
        {[&] { return load_memory(mapped_grey, img); }, RK_ERROR_UNSUPPORTED, "...TGA image loader: Files with colormaps (palettes) are not supported."},
        {[&] { return load_memory(read_bytes(RK_TEST_DATA "/jpeg/progressive_501_scans_8x8.jpg"), img); }, RK_ERROR_DAMAGED, "JPEG image loader: Image data has too many scans."},
        {[&] { return rk_save_png_file(nowhere.c_str(), noise(2, 2, 1).get(), nullptr); }, RK_ERROR_WRITE, "rk_save_png_file: " + nowhere.string() + ": Could not open output file: No such file or directory"},
        {[&] { return rk_save_png_write(noise(2, 2, 1).get(), nullptr, [](void*, const void*, size_t) { return 1; }, nullptr); }, RK_ERROR_ABORTED, "rk_save_png_write: the write callback returned non-zero"},
        {[&] { return rk_height_map(noise(2, 2, 1).get(), &newer, &out); }, RK_ERROR_VERSION, "rk_height_map: rk_height_params.struct_size 72 is larger than..."},
        {[&] { return rk_estimate_light(shot.get(), nullptr, &odd_light); }, RK_ERROR_ARGUMENT, "rk_estimate_light: rk_light.struct_size 6 is not the size of a rk_light (sizeof the struct as the program sees it)"},
        {[&] { return rk_photometric_stereo(photos, 2, nullptr, nullptr, nullptr, &result); }, RK_ERROR_ARGUMENT, "rk_photometric_stereo: count 2 is not 3 to 32"},
        {[&] { return rk_photometric_stereo(photos, 3, wild, nullptr, nullptr, &result); }, RK_ERROR_ARGUMENT, "rk_photometric_stereo: azimuths[1] 400.5 is not -360 to 360 or NaN"},
        {[&] { return rk_photometric_stereo(photos, 3, level, nullptr, nullptr, &result); }, RK_ERROR_ARGUMENT, "rk_photometric_stereo: the lights given lie in one plane..."},
        {[&] { return rk_photometric_stereo(photos, 3, sides, nullptr, &from_above, &result); }, RK_ERROR_ARGUMENT, "rk_photometric_stereo: the lights given lie in one plane..."},
        {[&] { return rk_photometric_stereo(photos, 3, nullptr, overhead, nullptr, &result); }, RK_ERROR_ARGUMENT, "rk_photometric_stereo: the lights lie in one plane with the surface's normal at the elevation used..."},
        {[&] { return rk_photometric_stereo(photos, 4, nullptr, nullptr, nullptr, &result); }, RK_ERROR_ARGUMENT, "rk_photometric_stereo: photos[3] is 2 x 2, photos[0] 4 x 3"},
        {[&] { return rk_height_from_normals(shot.get(), &blue3, &out, nullptr); }, RK_ERROR_ARGUMENT, "rk_height_from_normals: blue 3 is not 0 to 2"},
        {[&] { return rk_ao_map(patch.get(), &ao_few, &out); }, RK_ERROR_ARGUMENT, "rk_ao_map: directions 3 is not 4 to 256"},
        {[&] { return rk_curvature_map(empty.get(), nullptr, &out); }, RK_ERROR_ARGUMENT, "rk_curvature_map: heights has no pixels (0 x 3)"},
        {[&] { return rk_save_dds_write(patch.get(), &bc4_normals, [](void*, const void*, size_t) { return 0; }, nullptr); }, RK_ERROR_ARGUMENT, "rk_save_dds_write: normal_map is for RK_DDS_BC5 only"},
        {[&] { return rk_save_exr_file(nowhere.c_str(), patch.get(), nullptr); }, RK_ERROR_WRITE, "rk_save_exr_file: " + nowhere.string() + ": Could not open output file: No such file or directory"},
        {[&] { return rk_save_png_file((dir.str() + "/" + std::string(252, 'x') + ".png").c_str(), small.get(), nullptr); }, RK_ERROR_WRITE, "...: Could not replace output file: File name too long"},
        {[&] { return rk_load_file((dir.str() + "/m\xff\xc3.png").c_str(), &out); }, RK_ERROR_IO, "rk_load_file: " + dir.str() + "/m\\xff\\xc3.png: No such file or directory"},
    };
    // The same bytes whatever the host's locale: its decimal comma, its language and encoding.
    for (const char* locale : {"C", "de_DE.UTF-8", "tr_TR.ISO-8859-9"}) {
        if (!std::setlocale(LC_ALL, locale)) continue;
        SCOPED_TRACE(locale);
        for (const Case& c : cases) {
            EXPECT_EQ(c.call(), c.status) << c.message;
            const std::string got = rk_last_error();
            if (c.message.starts_with("...")) {
                EXPECT_TRUE(got.ends_with(c.message.substr(3))) << got;
            } else if (c.message.ends_with("...")) {
                EXPECT_TRUE(got.starts_with(c.message.substr(0, c.message.size() - 3))) << got;
            } else {
                EXPECT_EQ(got, c.message);
            }
            EXPECT_EQ(out, nullptr);  // never set by a failure
        }
    }
    std::setlocale(LC_ALL, "C");
#if RK_JXR_BUILT  // a helper that is not there
    rk::set_jxr_helper_for_tests((dir / "gone").string(), 0);
    EXPECT_EQ(load_memory(read_bytes(RK_TEST_DATA "/jxr/bgr24_20x18.jxr"), img), RK_ERROR_HELPER);
    EXPECT_NE(std::string(rk_last_error()).find("JPEG XR image loader: the decoder program is missing: "), std::string::npos);
    rk::set_jxr_helper_for_tests("", 0);
#endif
}

// In child processes: an address space too small for a 4 GiB image (not under
// the address sanitizer, whose shadow memory the cap would break), and a file
// size limit that makes the file system refuse a save part way, as a full disk
// would: the file it replaces stays, and nothing else is left.
[[noreturn]] void exit_with(bool ok, const char* what) {
    std::fprintf(stderr, "%s %s: %s", what, ok ? "ok" : "wrong", rk_last_error());
    std::_Exit(ok ? 0 : 1);
}

[[noreturn]] void create_beyond_address_space() {
    const rlimit cap{rlim_t{2} << 30, rlim_t{2} << 30};
    imgbuf* out = nullptr;
    const bool capped = setrlimit(RLIMIT_AS, &cap) == 0;
    exit_with(capped && rk_image_create(16383, 16384, &out) == RK_ERROR_MEMORY, "memory");
}

// Caps the address space at what is in use plus extra bytes.
bool cap_above_use(rlim_t extra) {
    rlim_t pages = 0;
    std::FILE* statm = std::fopen("/proc/self/statm", "r");
    const bool measured = statm && std::fscanf(statm, "%lu", &pages) == 1;
    const rlim_t room = pages * sysconf(_SC_PAGESIZE) + extra;
    const rlimit cap{room, room};
    return measured && setrlimit(RLIMIT_AS, &cap) == 0;
}

// A 64 MiB image whose EXR file finds no room: the address space is capped at
// what is in use plus half the file (its bytes grow in memory).
[[noreturn]] void save_exr_beyond_address_space() {
    rk_set_thread_count(1);  // no worker's stack to leave room for
    const Img img = make_img(2048, 2048);
    rk_exr_params ep;
    rk_exr_params_init(&ep, sizeof ep);
    ep.layout = RK_EXR_RGBA, ep.bit_depth = 32, ep.compress = 0;
    const auto discard = [](void*, const void*, size_t) { return 0; };
    const bool capped = cap_above_use(rlim_t{32} << 20);
    exit_with(capped && rk_save_exr_write(img.get(), &ep, discard, nullptr) == RK_ERROR_MEMORY, "memory");
}

// An occlusion map with no room to work in (its working memory is larger than
// its 64 KiB of pixels): the message names the map, not only its image.
[[noreturn]] void ao_beyond_address_space() {
    rk_set_thread_count(1);
    const Img heights = noise(64, 64, 1);
    imgbuf* out = nullptr;
    const bool capped = cap_above_use(rlim_t{256} << 10);
    exit_with(capped && rk_ao_map(heights.get(), nullptr, &out) == RK_ERROR_MEMORY, "memory");
}

[[noreturn]] void save_beyond_size_limit(const fs::path& target) {
    std::signal(SIGXFSZ, SIG_IGN);
    const rlimit cap{4096, 4096};
    setrlimit(RLIMIT_FSIZE, &cap);
    const rk_status s = rk_save_png_file(target.c_str(), noise(64, 64, 1).get(), nullptr);
    exit_with(s == RK_ERROR_WRITE && read_bytes(target) == Bytes{'o', 'l', 'd'} &&
                  std::distance(fs::directory_iterator(target.parent_path()), {}) == 1,
              "write");
}

TEST(RkInterfaceDeathTest, NoMemoryAndAFailedSave) {
    const TempDir dir;
    if (!RK_SANITIZED_BUILD) {
        EXPECT_EXIT(create_beyond_address_space(), ::testing::ExitedWithCode(0),
                    "memory ok: rk_image_create: no memory for the image");
        EXPECT_EXIT(save_exr_beyond_address_space(), ::testing::ExitedWithCode(0),
                    "memory ok: rk_save_exr_write: Not enough memory.");
        EXPECT_EXIT(ao_beyond_address_space(), ::testing::ExitedWithCode(0),
                    "memory ok: rk_ao_map: no memory for the occlusion map");
    }
    EXPECT_EXIT(save_beyond_size_limit(dir.write("keep.png", "old")), ::testing::ExitedWithCode(0),
                "write ok: rk_save_png_file: .*keep.png: Could not write output file: File too large");
}

TEST(RkParams, OlderStructsGetDefaultsNewerAreRefused) {
    const Img photo = noise(21, 13, 5);
    rk_height_params hp;  // an older caller knows only the mode: the rest is noise
    std::memset(&hp, 0xEE, sizeof hp);
    hp.struct_size = offsetof(rk_height_params, invert_red);
    hp.mode = RK_HEIGHT_RED;
    const Img older = map_of(rk_height_map, photo.get(), &hp);
    rk_height_params_init(&hp, sizeof hp);
    hp.mode = RK_HEIGHT_RED;
    EXPECT_TRUE(same_pixels(older.get(), map_of(rk_height_map, photo.get(), &hp).get()));
    // The init fills only what the caller has, and refuses a struct it cannot fill.
    rk_png_params pp;
    std::memset(&pp, 0xEE, sizeof pp);
    EXPECT_EQ(rk_png_params_init(&pp, offsetof(rk_png_params, channels)), RK_OK);
    EXPECT_EQ(pp.layout, RK_PNG_RGB);
    EXPECT_EQ(pp.channels[0], 0xEEEEEEEEu);
    EXPECT_EQ(rk_normal_params_init(nullptr, sizeof(rk_normal_params)), RK_ERROR_ARGUMENT);
    EXPECT_EQ(rk_png_params_init(&pp, 6), RK_ERROR_ARGUMENT);  // no struct's size
    EXPECT_EQ(rk_png_params_init(&pp, sizeof pp + 4), RK_ERROR_VERSION);
    hp.struct_size = 0;  // never filled
    imgbuf* none = nullptr;
    EXPECT_EQ(rk_height_map(photo.get(), &hp, &none), RK_ERROR_ARGUMENT);
}

// An older caller's result struct gets what it has room for (the maps past it
// are freed), an older height struct the estimated light; a given light comes
// back brought into 0..360.
TEST(RkSurface, ResultsFitTheCallersStructsAndTheLightComesBack) {
    const Img photo = noise(24, 16, 7);
    const imgbuf* photos[3] = {photo.get(), photo.get(), photo.get()};
    const float azimuths[3] = {0, 120, 240};
    rk_photometric_result older{};
    older.struct_size = offsetof(rk_photometric_result, albedo);
    ASSERT_EQ(rk_photometric_stereo(photos, 3, azimuths, nullptr, nullptr, &older), RK_OK);
    const Img normal(older.normal);
    EXPECT_TRUE(older.count == 3 && rk_image_width(normal.get()) == 24);
    rk_height_params hp;
    rk_height_params_init(&hp, sizeof hp);
    hp.light_azimuth = -90;
    rk_light light{sizeof light, 0, 0, 0};
    ASSERT_EQ(rk_estimate_light(photo.get(), &hp, &light), RK_OK);
    EXPECT_TRUE(light.azimuth == 270 && std::isnan(light.elevation) && light.directional == 1);
    hp.struct_size = offsetof(rk_height_params, light_azimuth);  // -90 lies past it: unread
    EXPECT_TRUE(same_pixels(map_of(rk_height_map, photo.get(), &hp).get(),
                            map_of(rk_height_map, photo.get(), (rk_height_params*)nullptr).get()));
}

TEST(RkSave, SameBytesAsTheOldSaversAndAnAbortWritesNothingMore) {
    const TempDir dir;
    const Img img = noise(300, 200, 7);  // several bands at level 6
    char16_t msg[64];
    core_saveimage_png(msg, 64, widen(dir / "old.png").c_str(), img.get());
    save_png_ex(msg, 64, widen(dir / "old16.png").c_str(), img.get(), 16, RK_PNG_GREY, 2, 0, 0);
    rk_png_params grey16;
    rk_png_params_init(&grey16, sizeof grey16);
    grey16.bit_depth = 16, grey16.layout = RK_PNG_GREY, grey16.channels[0] = 2;
    ASSERT_EQ(rk_save_png_file((dir / "new16.png").c_str(), img.get(), &grey16), RK_OK);
    EXPECT_EQ(png_bytes(img.get()), read_bytes(dir / "old.png"));
    EXPECT_EQ(read_bytes(dir / "new16.png"), read_bytes(dir / "old16.png"));
    // Every level and RGBA decode to the saved samples, alpha from its channel.
    rk_png_params rgba;
    rk_png_params_init(&rgba, sizeof rgba);
    rgba.layout = RK_PNG_RGBA, rgba.channels[3] = 0;
    for (uint32_t level : {0u, 1u, 9u}) {
        rgba.compression_level = level;
        Img back;
        ASSERT_EQ(load_memory(png_bytes(img.get(), &rgba), back), RK_OK);
        EXPECT_EQ(get_px(back.get(), 5, 9)[3], get_px(back.get(), 5, 9)[0]);
        EXPECT_NEAR(get_px(back.get(), 5, 9)[1], get_px(img.get(), 5, 9)[1], 0.5f / 255);
    }
    // The callback's non-zero answer is its last call.
    int calls = 0;
    EXPECT_EQ(rk_save_png_write(img.get(), nullptr, [](void* n, const void*, size_t) { return int(++*static_cast<int*>(n) == 2); }, &calls), RK_ERROR_ABORTED);
    EXPECT_EQ(calls, 2);
}

// The image's pixels in a block whose rows have 3 pixels of padding, set to NaN.
struct Padded {
    std::vector<float> block;
    Img img;
    explicit Padded(const imgbuf* src) : block(size_t{rk_image_width(src) + 3} * 4 * rk_image_height(src) + 4) {
        float* base = block.data() + (reinterpret_cast<uintptr_t>(block.data()) % 16 ? 2 : 0);
        std::fill(block.begin(), block.end(), std::nanf(""));
        imgbuf* w = nullptr;
        EXPECT_EQ(rk_image_wrap(base, rk_image_width(src), rk_image_height(src), 16 * size_t{rk_image_width(src) + 3}, &w), RK_OK);
        img.reset(w);
        copy_imgbuf_content(w, src);
    }
    size_t nans() const { return std::count_if(block.begin(), block.end(), [](float v) { return v != v; }); }
};

TEST(RkImageWrap, PaddedRowsGiveThePackedResultsAndKeepTheirPadding) {
    const Img photo = noise(37, 200, 9);  // tall enough for blurs in several chunks
    rk_set_thread_count(4);
    Padded padded(photo.get());
    const size_t padding = padded.nans();
    std::vector<rk_height_params> heights(4);
    for (auto& p : heights) rk_height_params_init(&p, sizeof p), p.mode = RK_HEIGHT_LUMINANCE;
    heights[1].edge_mode = RK_EDGE_WRAP, heights[2].mode = RK_HEIGHT_DELIT, heights[3].detail_threshold = 0.5f;
    rk_normal_params np;
    rk_normal_params_init(&np, sizeof np);
    np.blur_size = 5;
    for (const rk_height_params& hp : heights) {
        // Packed, the old exports' bits; wrapped, the packed ones.
        const Img packed = map_of(rk_height_map, photo.get(), &hp);
        EXPECT_TRUE(same_pixels(packed.get(), Img(calc_heightmap_from_photo_ex(photo.get(), hp.mode, HM_AUTO_LEVELS | HM_DETAIL_FILTER | HM_SMOOTH, 0.5f, 0, 1, 5, hp.detail_threshold, 1, 1, 1, 3, 0, hp.edge_mode)).get()));
        EXPECT_TRUE(same_pixels(map_of(rk_height_map, padded.img.get(), &hp).get(), packed.get()));
        Padded into(photo.get());  // the generators into a wrapped image
        ASSERT_EQ(rk_height_map_into(padded.img.get(), &hp, into.img.get()), RK_OK);
        EXPECT_TRUE(same_pixels(into.img.get(), packed.get()));
        np.edge_mode = hp.edge_mode;
        const Img normals = map_of(rk_normal_map, packed.get(), &np);
        EXPECT_TRUE(same_pixels(normals.get(), Img(calc_normalmap_from_heightmap_ex(packed.get(), 0, 0, 2, 1, 5, 0, hp.edge_mode)).get()));
        ASSERT_EQ(rk_normal_map_into(into.img.get(), &np, padded.img.get()), RK_OK);
        EXPECT_TRUE(same_pixels(padded.img.get(), normals.get()));
        EXPECT_EQ(png_bytes(padded.img.get()), png_bytes(normals.get()));
        EXPECT_EQ(into.nans(), padding);
        copy_imgbuf_content(padded.img.get(), photo.get());
    }
    Img resampled(imgbuf_resample(padded.img.get(), 50, 9)), tiled(make_tileable(padded.img.get(), 0.2f));
    EXPECT_TRUE(same_pixels(resampled.get(), Img(imgbuf_resample(photo.get(), 50, 9)).get()));
    EXPECT_TRUE(same_pixels(tiled.get(), Img(make_tileable(photo.get(), 0.2f)).get()));
    // In place (padding untouched): the same bits; the de-lit mode, and pixels
    // shared in any other way (the same block read packed), are refused.
    EXPECT_EQ(rk_height_map_into(padded.img.get(), &heights[2], padded.img.get()), RK_ERROR_ARGUMENT);
    imgbuf* packed_view = nullptr;
    ASSERT_EQ(rk_image_wrap(imgbuf_buf(padded.img.get()), 37, 200, 16 * 37, &packed_view), RK_OK);
    EXPECT_EQ(rk_normal_map_into(padded.img.get(), nullptr, Img(packed_view).get()), RK_ERROR_ARGUMENT);
    ASSERT_EQ(rk_height_map_into(padded.img.get(), &heights[0], padded.img.get()), RK_OK);
    const Img heights_made = map_of(rk_height_map, photo.get(), &heights[0]);
    EXPECT_TRUE(same_pixels(padded.img.get(), heights_made.get()));
    ASSERT_EQ(rk_normal_map_into(padded.img.get(), &np, padded.img.get()), RK_OK);
    EXPECT_TRUE(same_pixels(padded.img.get(), map_of(rk_normal_map, heights_made.get(), &np).get()));
    imgbuf_clear(padded.img.get());
    EXPECT_EQ(padded.nans(), padding);
    EXPECT_EQ(imgbuf_buf_size(padded.img.get()), 40u * 16 * 200);
    rk_set_thread_count(0);
}

// Each material export on a padded image, with null params and with filled
// ones, makes its generator's map for the settings the fields name; each saver
// writes the writer's bytes to a callback and to a file.
TEST(RkMaterial, ExportsMakeTheGeneratorsMapsAndTheWritersBytes) {
    const Img photo = noise(45, 38, 4);
    const Padded padded(photo.get());
    rk_ao_params ao;
    rk_curvature_params cv;
    rk_roughness_params ro;
    rk_albedo_params al;
    rk_ao_params_init(&ao, sizeof ao), rk_curvature_params_init(&cv, sizeof cv);
    rk_roughness_params_init(&ro, sizeof ro), rk_albedo_params_init(&al, sizeof al);
    const auto same = [](const Img& a, rk::ImgbufPtr b) { return same_pixels(a.get(), b.get()); };
    EXPECT_TRUE(same(map_of(rk_ao_map, padded.img.get(), (const rk_ao_params*)nullptr), rk::ao_map(photo.get(), {})));
    EXPECT_TRUE(same(map_of(rk_albedo_map, padded.img.get(), (const rk_albedo_params*)nullptr), rk::albedo_map(photo.get(), {})));
    ao.depth = 9, ao.radius = 12, ao.directions = 6, ao.edge_mode = RK_EDGE_WRAP;
    cv.scale = 5, cv.strength = 3, cv.edge_mode = RK_EDGE_WRAP;
    ro.contrast = 2, ro.bias = -0.25f, ro.edge_mode = RK_EDGE_WRAP;
    al.edge_mode = RK_EDGE_WRAP, al.light_azimuth = 360, al.flatten_light = 0, al.scale = 7;
    EXPECT_TRUE(same(map_of(rk_ao_map, padded.img.get(), &ao), rk::ao_map(photo.get(), {9, 12, 6, rk::EDGE_WRAP})));
    EXPECT_TRUE(same(map_of(rk_curvature_map, padded.img.get(), &cv), rk::curvature_map(photo.get(), {5, 3, rk::EDGE_WRAP})));
    EXPECT_TRUE(same(map_of(rk_roughness_map, padded.img.get(), &ro), rk::roughness_map(photo.get(), {2, -0.25f, rk::EDGE_WRAP})));
    EXPECT_TRUE(same(map_of(rk_albedo_map, padded.img.get(), &al), rk::albedo_map(photo.get(), {.wrap = true, .azimuth = 0, .flatten_light = false, .scale = 7})));

    const TempDir dir;
    rk_exr_params ep;
    rk_dds_params dp;
    rk_exr_params_init(&ep, sizeof ep), rk_dds_params_init(&dp, sizeof dp);
    ep.layout = RK_EXR_Y, ep.bit_depth = 32, dp.format = RK_DDS_BC5, dp.normal_map = 1;
    const auto internal = [&](const auto& write) {
        Bytes b;
        EXPECT_TRUE(rk::save_to_callback(append, &b, [&](rk::ByteSink& s) { return write(photo.get(), s); }).ok());
        return b;
    };
    Bytes exr, dds;
    ASSERT_EQ(rk_save_exr_write(padded.img.get(), &ep, append, &exr), RK_OK) << rk_last_error();
    ASSERT_EQ(rk_save_dds_write(padded.img.get(), &dp, append, &dds), RK_OK) << rk_last_error();
    EXPECT_EQ(exr, internal([](auto i, auto& s) { return rk::write_exr(i, {rk::ExrLayout::y, rk::ExrSample::float32}, s); }));
    EXPECT_EQ(dds, internal([](auto i, auto& s) { return rk::write_dds(i, {rk::DdsFormat::bc5, true, true}, s); }));
    ASSERT_EQ(rk_save_exr_file((dir / "a.exr").c_str(), photo.get(), &ep), RK_OK);
    ASSERT_EQ(rk_save_dds_file((dir / "a.dds").c_str(), photo.get(), &dp), RK_OK);
    EXPECT_EQ(read_bytes(dir / "a.exr"), exr);
    EXPECT_EQ(read_bytes(dir / "a.dds"), dds);
    int calls = 0;
    EXPECT_EQ(rk_save_dds_write(photo.get(), nullptr, [](void* n, const void*, size_t) { return ++*static_cast<int*>(n); }, &calls), RK_ERROR_ABORTED);
    EXPECT_EQ(calls, 1);
}

}  // namespace
