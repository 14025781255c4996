// reliefkit serve's API end to end: a server on a loopback port, driven by an
// HTTP client as the page drives it.
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <unistd.h>

#include <future>
#include <regex>
#include <thread>

#include "image.h"
#include "png_test_io.h"
#include "relief_server.h"
#include "session_store.h"
#include "reliefkit.h"
#include "run_program.h"
#include "temp_dir.h"

namespace {

const std::string kSample = RK_SAMPLES "/bricks.png";

std::string field(const std::string& json, const std::string& name) {
    std::smatch m;
    const std::regex pattern("\"" + name + "\":(\"([^\"]*)\"|[0-9.]+)");
    if (!std::regex_search(json, m, pattern)) return {};
    return m[2].matched ? m[2].str() : m[1].str();
}

// A w x h PNG resampled from the sample.
std::string png_of(uint32_t w, uint32_t h) {
    imgbuf *sample = nullptr, *image = nullptr;
    EXPECT_EQ(rk_load_file(kSample.c_str(), &sample), RK_OK);
    EXPECT_EQ(rk_image_resample(sample, w, h, &image), RK_OK);
    std::string png;
    const auto append = [](void* into, const void* data, size_t size) {
        static_cast<std::string*>(into)->append(static_cast<const char*>(data), size);
        return 0;
    };
    EXPECT_EQ(rk_save_png_write(image, nullptr, append, &png), RK_OK);
    rk_image_free(image);
    rk_image_free(sample);
    return png;
}

// Waits for condition, which the server's threads bring about; false when it
// did not hold within a minute, however busy the machine.
template <typename Condition>
bool eventually(Condition condition) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// A PNG's width and pixels as libpng decodes them; nothing for what is no PNG.
std::pair<uint32_t, png_test::Bytes> decoded(const std::string& png) {
    const auto d = png_test::decode(png_test::Bytes(png.begin(), png.end()));
    return d ? std::pair{d->width, d->pixels} : std::pair<uint32_t, png_test::Bytes>{};
}

class ServeApi : public ::testing::Test {
  protected:
    void start(rkserve::ServeLimits limits = {}) {
        server_ = std::make_unique<rkserve::ReliefServer>(limits, std::nullopt, true);
        port_ = server_->bind("127.0.0.1", 0);
        ASSERT_GT(port_, 0);
        thread_ = std::thread([this] { server_->run(); });
        client_ = std::make_unique<httplib::Client>(client());
    }
    // A client of its own, as each thread needs.
    httplib::Client client() const {
        httplib::Client c("127.0.0.1", port_);
        c.set_read_timeout(120);
        return c;
    }
    void SetUp() override {
        init();
        sample_ = file_bytes(kSample);
    }
    void stop_server() {
        if (server_) server_->stop();
        if (thread_.joinable()) thread_.join();
        server_.reset();
    }
    void TearDown() override {
        stop_server();
        cleanup();
    }
    httplib::Result upload(const std::string& bytes, const std::string& name = "bricks.png") {
        return client_->Post(("/api/sessions?name=" + name).c_str(), bytes,
                             "application/octet-stream");
    }
    std::string session(const std::string& bytes = {}) {
        auto res = upload(bytes.empty() ? sample_ : bytes);
        EXPECT_EQ(res ? res->status : 0, 201);
        return res ? field(res->body, "session") : "";
    }
    httplib::Result maps(const std::string& id, const std::string& size,
                         const httplib::Params& p = {}) {
        return client_->Post(("/api/sessions/" + id + "/maps/" + size).c_str(), p);
    }

    std::unique_ptr<rkserve::ReliefServer> server_;
    std::thread thread_;
    std::unique_ptr<httplib::Client> client_;
    int port_ = 0;
    std::string sample_;
};

TEST_F(ServeApi, AnswersEachRequestWithItsStatusAndAJsonReason) {
    start({.max_upload_bytes = size_t{1} << 20, .max_pixels = 512 * 512 - 1});
    const std::string png = png_of(64, 64), own = "127.0.0.1:" + std::to_string(port_);
    const std::string id = field(upload(png)->body, "session");
    ASSERT_EQ(id.size(), 32u);
    const std::string other(32, 'a');
    struct Case {
        httplib::Result result;
        int status;
        std::string reason;
    };
    Case cases[] = {
        {client_->Get("/api/options"), 200, ""},
        {client_->Get("/"), 200, ""},
        {upload(""), 400, "empty"},
        {upload("not an image"), 422, "no reader|DDS"},
        {upload(std::string((1 << 20) + 1, 'x')), 413, "1 MiB"},
        // Bodies whose size the limit cannot see before they are read whole.
        {client_->Post(
             "/api/sessions?name=c.png",
             [&](size_t, httplib::DataSink& sink) {
                 sink.write(png.data(), png.size());
                 sink.done();
                 return true;
             },
             "application/octet-stream"),
         411, "chunked"},
        {client_->Post("/api/sessions?name=g.png", {{"Content-Encoding", "gzip"}}, png,
                       "application/octet-stream"),
         415, "compressed"},
        {client_->Post("/api/sessions?name=f.png", std::string(9000, 'x'),
                       "application/x-www-form-urlencoded"),
         413, "as a form"},
        {upload(sample_), 413, "262144 pixels"},
        {upload(png_of(511, 513)), 201, ""},  // exactly --max-pixels
        // A name is kept whole (the command line names the file) while its maps' files
        // (STEM_roughness.png the longest) can be named.
        {upload(png, std::string(241, 'n') + ".png"), 201, std::string(241, 'n') + R"(\.png")"},
        {upload(png, std::string(242, 'n') + ".png"), 400, "246 bytes long: its maps' files would"},
        // Headers claiming huge images, refused before decoding: PNG, JPEG after a DHT.
        {upload(std::string("\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR\0\0\xea\x60\0\0\x75\x30", 24) +
                std::string(64, '\0')),
         413, "60000x30000"},
        {upload(std::string("\xff\xd8\xff\xc4\0\x04"
                            "ab\xff\xc0\0\x11\x08\x9c\x40\x9c\x41",
                            17) +
                std::string(64, '\0')),
         413, "40001x40000"},
        // JPEG XR (width a LONG, height a SHORT; version 0 too), and TGA.
        {upload(std::string("II\xbc\x01\x08\0\0\0\x02\0"
                            "\x80\xbc\x04\0\x01\0\0\0\x41\x9c\0\0"
                            "\x81\xbc\x03\0\x01\0\0\0\x40\x9c\0\0",
                            34) +
                std::string(64, '\0')),
         413, "40001x40000"},
        {upload(std::string("II\xbc\0\x08\0\0\0\x02\0"
                            "\x80\xbc\x03\0\x01\0\0\0\x42\x9c\0\0"
                            "\x81\xbc\x03\0\x01\0\0\0\x40\x9c\0\0",
                            34) +
                std::string(64, '\0')),
         413, "40002x40000"},
        {upload(std::string("\0\0\x02\0\0\0\0\0\0\0\0\0\xff\xff\xfe\xff\x18\0", 18) +
                std::string(64, '\0')),
         413, "65535x65534"},
        {maps(other, "preview"), 404, "no session"},
        {maps(id, "preview", {{"no-such-option", "1"}}), 400, "not an option"},
        {maps(id, "preview", {{"out-dir", "/etc"}}), 400, "not an option"},
        {maps(id, "preview", {{"invert-x", "yes"}}), 400, "is a switch"},
        {maps(id, "preview", {{"strength", "2"}, {"strength", "3"}}), 400, "more than once"},
        // The page's shader reads a blurred normal map's blue otherwise.
        {maps(id, "preview"), 200, R"("invert_y":false,"blurred":false)"},
        {maps(id, "preview", {{"normal-blur-size", "5"}}), 200, R"("blurred":true)"},
        {maps(id, "sideways"), 404, "README"},
        // Options in a body the form reader does not read would be dropped.
        {client_->Post(("/api/sessions/" + id + "/maps/preview").c_str(),
                       httplib::MultipartFormDataItems{{"strength", "99", "", ""}}),
         415, "URL-encoded"},
        {client_->Post(("/api/sessions/" + id + "/maps/preview").c_str(), R"({"strength":"99"})",
                       "application/json"),
         415, "URL-encoded"},
        {client_->Post(("/api/sessions/" + id + "/maps/preview").c_str(), "strength=4",
                       "Application/X-WWW-Form-Urlencoded"),
         200, "--strength 4"},
        {client_->Get(("/api/sessions/" + id + "/maps/99/height.png").c_str()), 404, "gone"},
        {client_->Get("/api/options", {{"Host", "attacker.example:80"}}), 403, R"(or \[::1\]:)"},
        {client_->Get("/api/options", {{"Host", own}, {"Host", "attacker.example"}}), 400, "Host"},
        {maps(id, "full", {{"resize", "600x600"}}), 413, "360000 pixels"},
        // Another site's page may not change anything: by Origin, or without one by
        // Sec-Fetch-Site; this server's own page may.
        {client_->Post("/api/sessions", {{"Origin", "http://evil.example"}}, png, "text/plain"),
         403, "evil.example"},
        {client_->Delete(("/api/sessions/" + id).c_str(), {{"Sec-Fetch-Site", "cross-site"}}), 403,
         R"(not from a page that is \\"cross-site\\")"},
        // The form's file is found wherever it is, and its name is always valid JSON.
        {client_->Post("/api/sessions", {{"Origin", "http://" + own}},
                       {{"a_note", "text before the file", "", ""},
                        {"photo", png, "\xff\xfe.png", "image/png"}}),
         201, R"("name":"\\ufffd\\ufffd\.png")"},
        {client_->Post("/api/sessions",
                       httplib::MultipartFormDataItems{{"note", "no file", "", ""}}),
         400, "no file"},
        {client_->Delete(("/api/sessions/" + other).c_str()), 404, "no session"},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE("case " + std::to_string(i));
        ASSERT_TRUE(cases[i].result);
        EXPECT_EQ(cases[i].result->status, cases[i].status) << cases[i].result->body;
        if (!cases[i].reason.empty()) {
            EXPECT_EQ(cases[i].result->get_header_value("Content-Type"), "application/json");
        }
        EXPECT_TRUE(std::regex_search(cases[i].result->body, std::regex(cases[i].reason)))
            << cases[i].result->body;
    }
}

// Every number range and choice the page is given is one the maps accept, and
// just past a range is refused: the page and the parser cannot disagree.
TEST_F(ServeApi, EveryAdvertisedRangeAndChoiceIsAccepted) {
    start();
    const std::string id = session(png_of(24, 24));
    const std::string json = client_->Get("/api/options")->body;
    const std::regex numbers(
        R"re("name":"([^"]+)","kind":"(whole|real|text)"[^{}]*?"low":([-0-9.e]+),"high":([-0-9.e]+))re");
    const std::regex choices(
        R"re("name":"([^"]+)","kind":"choice"[^{}]*?"choices":\[([^\]]*)\])re");
    int checked = 0;
    for (std::sregex_iterator m(json.begin(), json.end(), numbers), end; m != end; ++m, ++checked) {
        const std::string name = (*m)[1];
        for (const std::string& ok : {(*m)[3].str(), (*m)[4].str()}) {
            EXPECT_EQ(maps(id, "preview", {{name, ok}})->status, 200) << name << " " << ok;
        }
        const std::string past = std::to_string(std::stod((*m)[4]) + 1);
        EXPECT_EQ(maps(id, "preview", {{name, past}})->status, 400) << name << " " << past;
    }
    for (std::sregex_iterator m(json.begin(), json.end(), choices), end; m != end; ++m, ++checked) {
        const std::string list = (*m)[2];
        const std::regex item("\"([^\"]+)\"");
        for (std::sregex_iterator c(list.begin(), list.end(), item); c != end; ++c) {
            EXPECT_EQ(maps(id, "preview", {{(*m)[1], (*c)[1]}})->status, 200) << (*c)[1];
        }
    }
    EXPECT_GE(checked, 8);
    // Nor is a control offered that changes none of the maps the page makes.
    EXPECT_EQ(json.find("\"metallic\""), std::string::npos);
}

// The command line the page shows, run by a shell, makes the very files of its
// Download (every kind of option given: choice, switch on and off, whole, real,
// text, and an optional value), and the preview of a photo small enough shows
// the same pixels.
TEST_F(ServeApi, FullSizeMapsEqualTheCommandLinesFiles) {
    start();
    const std::string id = session();
    const httplib::Params settings{
        {"mode", "average"},       {"auto-levels", "off"}, {"strength", "4"},
        {"invert-y", "on"},        {"channels", "grb"},    {"detail-size", "7"},
        {"normal-blur-size", "3"}, {"resize", "300x200"},  {"make-tileable", "0.3"}};
    const auto made = maps(id, "full", settings);
    ASSERT_EQ(made->status, 200) << made->body;
    const std::string command = field(made->body, "command");
    EXPECT_NE(command.find(" --no-auto-levels "), std::string::npos) << command;
    TempDir dir;
    std::filesystem::copy_file(kSample, dir / "bricks.png");
    const std::string bin = std::filesystem::path(RK_CLI_PROGRAM).parent_path();
    const std::string shell = "cd " + dir.str() + " && PATH=" + bin + ":$PATH " + command;
    ASSERT_EQ(std::system((shell + " >/dev/null").c_str()), 0) << command;
    const auto preview = maps(id, "preview", settings);
    for (const std::string which : {"height", "normal"}) {
        const std::string file = file_bytes(dir / ("bricks_" + which + ".png"));
        EXPECT_EQ(client_->Get(field(made->body, which).c_str())->body, file) << which;
        const std::string shown = client_->Get(field(preview->body, which).c_str())->body;
        EXPECT_EQ(decoded(shown), decoded(file)) << which;
    }
}

// The maps follow a preview-sized copy: a 2000 x 1000 photo gives 1024 x 512 maps.
TEST_F(ServeApi, PreviewMapsAreMadeFromACopyAtMost1024Wide) {
    start();
    const auto created = upload(png_of(2000, 1000), "wide.png");
    ASSERT_EQ(created->status, 201);
    EXPECT_EQ(field(created->body, "preview_width") + "x" + field(created->body, "preview_height"),
              "1024x512");
    const std::string id = field(created->body, "session");
    for (const auto& [size, width] : {std::pair{"preview", 1024u}, std::pair{"full", 2000u}}) {
        const auto made = maps(id, size);
        ASSERT_EQ(made->status, 200) << made->body;
        EXPECT_EQ(decoded(client_->Get(field(made->body, "normal").c_str())->body).first, width);
    }
}

// Sessions are counted, and end when idle: a request after the idle time finds
// its session gone (the idle time is a lower bound, so no machine is too slow).
TEST_F(ServeApi, SessionsAreCountedAndEndWhenIdle) {
    start({.max_sessions = 1});
    const std::string first = session();
    const auto refused = upload(sample_);
    EXPECT_EQ(refused->status, 503);
    EXPECT_NE(refused->body.find("1 session is open, the most"), std::string::npos);
    EXPECT_EQ(client_->Delete(("/api/sessions/" + first).c_str())->status, 204);
    EXPECT_EQ(maps(session(), "preview")->status, 200);
    stop_server();

    start({.idle_timeout = std::chrono::seconds(1)});
    const std::string idle = session();
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    const auto gone = maps(idle, "preview");
    EXPECT_EQ(gone->status, 404);
    EXPECT_NE(gone->body.find("expired after 1 second without"), std::string::npos) << gone->body;
}

// A session a request holds outlives its idle time, which starts again once
// the request is done (maps slower than the limit are still there to fetch).
TEST(SessionStore, ASessionInUseIsNotIdle) {
    const rkserve::ServeLimits limits{.idle_timeout = std::chrono::seconds(1)};
    rkserve::SessionStore store(limits);
    std::shared_ptr<rkserve::Session> held = store.add(std::make_unique<rkserve::Session>());
    const std::string id = held->id;
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    EXPECT_EQ(store.sweep(), 1u);  // idle past the limit, but held
    held.reset();
    store.touch(id);
    EXPECT_EQ(store.sweep(), 1u);  // the idle time started again
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    EXPECT_EQ(store.sweep(), 0u);
}

// Maps past the store's budget go oldest first, whichever session made them,
// but never a set a request holds.
TEST(SessionStore, StoredMapsKeepToTheBudget) {
    const rkserve::ServeLimits limits{.max_stored_map_bytes = 3500};
    rkserve::SessionStore store(limits);
    const auto a = store.add(std::make_unique<rkserve::Session>());
    const auto b = store.add(std::make_unique<rkserve::Session>());
    const auto set = [](uint64_t number) {
        auto maps = std::make_shared<rkserve::StoredMaps>();
        maps->number = number;
        maps->normal_png.assign(1000, 'x');
        return maps;
    };
    store.keep(*a, set(1));
    store.keep(*b, set(2));
    store.keep(*a, set(3));
    const auto held = a->find(1);  // as a download copying it
    store.keep(*b, set(4));
    EXPECT_TRUE(a->find(1) && a->find(3) && b->find(4));
    EXPECT_FALSE(b->find(2));
    // Past its latest four sets a session keeps an older one only while it is held.
    rkserve::Session c;
    for (uint64_t n = 10; n <= 15; ++n) c.keep(n == 10 ? a->find(1) : set(n));
    EXPECT_TRUE(c.find(1) && !c.find(11) && c.find(12));
}

// Only a server on a loopback address takes requests for loopback names alone.
TEST(ServeListen, LoopbackAddressesKeepTheHostCheck) {
    for (const char* address : {"127.0.0.1", "::1", "localhost"})
        EXPECT_TRUE(rkserve::loopback_address(address)) << address;
    for (const char* address : {"0.0.0.0", "::", "192.168.1.4", ""})
        EXPECT_FALSE(rkserve::loopback_address(address)) << address;
}

// Every answer is whole, whatever byte ranges a request asks for: neither a
// JSON answer cut nor a file repeated range after range.
TEST_F(ServeApi, RangesAreIgnored) {
    start();
    const auto whole = client_->Get("/");
    ASSERT_TRUE(whole);
    std::string many = "bytes=0-";
    for (int i = 0; i < 200; ++i) many += ",0-";
    for (const std::string path : {"/", "/api/options", "/api/limits"}) {
        for (const std::string& range : {std::string("bytes=0-5"), many}) {
            const auto r = client_->Get(path.c_str(), {{"Range", range}});
            ASSERT_TRUE(r);
            EXPECT_EQ(r->status, 200) << path;
            EXPECT_FALSE(r->has_header("Content-Range")) << path;
            EXPECT_TRUE(path == "/" ? r->body == whole->body
                                    : r->body.starts_with("{") && r->body.ends_with("}"))
                << path;
        }
    }
}

// A limit past a float's nine digits is told exactly.
TEST_F(ServeApi, LimitsAreToldExactly) {
    start({.max_upload_bytes = size_t{4096} << 20});
    EXPECT_EQ(field(client_->Get("/api/limits")->body, "max_upload_bytes"), "4294967296");
}

// On port 80 a browser's Host names no port.
TEST(ServePort, HostWithoutAPortOnPort80) {
    rkserve::ReliefServer server({}, std::nullopt, true);
    if (server.bind("127.0.0.1", 80) != 80) GTEST_SKIP() << "port 80 is taken or not ours";
    std::thread thread([&] { server.run(); });
    httplib::Client client("127.0.0.1", 80);
    const auto bare = client.Get("/api/limits", {{"Host", "127.0.0.1"}});
    const auto other = client.Get("/api/limits", {{"Host", "example.com"}});
    server.stop();
    thread.join();
    ASSERT_TRUE(bare && other);
    EXPECT_EQ(bare->status, 200);
    EXPECT_EQ(other->status, 403);
}

// The server creates no file while it serves, not even for a moment: uploads
// (a JPEG XR one too, which a reader by file name could not tell) are decoded
// and the maps encoded in memory. Watched in TMPDIR and the working directory.
TEST_F(ServeApi, JpegXrUploadsWorkAndNoFileIsEverCreated) {
    TempDir dir;
    const std::filesystem::path was = std::filesystem::current_path();
    const char* tmpdir = std::getenv("TMPDIR");
    const std::string saved = tmpdir ? tmpdir : "";
    ::setenv("TMPDIR", dir.path().c_str(), 1);
    std::filesystem::current_path(dir.path());
    const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(::inotify_add_watch(watch, dir.path().c_str(), IN_CREATE | IN_MOVED_TO), 0);

    start();
    std::vector<std::string> ids = {session()};
    const auto jxr = upload(file_bytes(RK_TEST_DATA "/jxr/bgr24_20x18.jxr"), "upload");
    if (RK_JXR_BUILT) {
        ASSERT_EQ(jxr->status, 201) << jxr->body;
        EXPECT_EQ(field(jxr->body, "width") + "x" + field(jxr->body, "height"), "20x18");
        ids.push_back(field(jxr->body, "session"));
    } else {
        EXPECT_EQ(jxr->status, 422) << jxr->body;  // a build without JPEG XR says so
    }
    for (const std::string& id : ids) {
        for (const char* size : {"preview", "full"}) {
            const auto made = maps(id, size);
            ASSERT_EQ(made->status, 200) << made->body;
            EXPECT_TRUE(decoded(client_->Get(field(made->body, "normal").c_str())->body).first);
        }
    }
    EXPECT_EQ(upload("not an image")->status, 422);
    stop_server();

    char events[4096];
    const ssize_t got = ::read(watch, events, sizeof events);
    EXPECT_EQ(got, -1) << "created: " << reinterpret_cast<inotify_event*>(events)->name;
    ::close(watch);
    std::filesystem::current_path(was);
    tmpdir ? ::setenv("TMPDIR", saved.c_str(), 1) : ::unsetenv("TMPDIR");
}

// Clients at once, more than there are work slots, one of them vanishing in
// the middle of its upload: every other gets the same maps.
TEST_F(ServeApi, ConcurrentClientsAndAVanishingUploadGetTheirMaps) {
    start({.work_slots = 2});
    // 5000 bytes of 100000, then the client hangs up.
    EXPECT_FALSE(client_->Post(
        "/api/sessions?name=a.png", 100000,
        [&](size_t offset, size_t, httplib::DataSink& sink) {
            return offset == 0 && sink.write(sample_.data(), 5000);
        },
        "image/png"));

    constexpr int kClients = 6;
    std::string normals[kClients];
    std::vector<std::thread> clients;
    for (int i = 0; i < kClients; ++i) {
        clients.emplace_back([&, i] {
            httplib::Client own = client();
            const auto created = own.Post("/api/sessions?name=b.png", sample_, "image/png");
            if (!created || created->status != 201) return;
            const std::string id = field(created->body, "session");
            const auto made = own.Post(("/api/sessions/" + id + "/maps/preview").c_str(),
                                       httplib::Params{{"strength", "3"}});
            if (!made || made->status != 200) return;
            if (const auto png = own.Get(field(made->body, "normal").c_str()))
                normals[i] = png->body;
        });
    }
    for (std::thread& t : clients) t.join();
    for (int i = 0; i < kClients; ++i) {
        EXPECT_FALSE(normals[i].empty()) << "client " << i;
        EXPECT_EQ(normals[i], normals[0]) << "client " << i;
    }
}

// Work nobody waits for stops: the session of an upload whose client hung up
// before its answer ends at the shorter idle limit, and full-size maps of a
// session closed while they wait for a slot stop before their first map is done.
TEST_F(ServeApi, WorkNobodyWaitsForStops) {
    start({.max_sessions = 1, .work_slots = 1, .unclaimed_idle_timeout = std::chrono::seconds(0)});
    auto busy = server_->hold_work_slot();
    {
        httplib::Client hasty = client();
        hasty.set_read_timeout(0, 200000);
        EXPECT_FALSE(hasty.Post("/api/sessions?name=a.png", sample_, "image/png"));
    }
    busy.reset();
    std::string id;
    ASSERT_TRUE(eventually([&] { return !(id = field(upload(sample_)->body, "session")).empty(); }));
    busy = server_->hold_work_slot();
    auto full = std::async(std::launch::async, [&] {
        return client().Post(("/api/sessions/" + id + "/maps/full").c_str(), "", "text/plain");
    });
    ASSERT_TRUE(eventually([&] { return server_->requests_waiting_for_slot() == 1; }));
    EXPECT_EQ(client_->Delete(("/api/sessions/" + id).c_str())->status, 204);
    busy.reset();
    const auto made = full.get();
    EXPECT_EQ(made->status, 500);
    EXPECT_NE(made->body.find("no longer wanted"), std::string::npos) << made->body;
}

// While the only work slot is taken, a preview request that a newer one of
// the same session overtakes gives way (409) without being made. Newer is the
// later arrival, or the higher X-Preview-Order where the client numbers them,
// since its requests may arrive out of order.
TEST_F(ServeApi, AWaitingPreviewGivesWayToANewerOne) {
    start({.work_slots = 1, .slot_wait = std::chrono::seconds(300)});
    const std::string id = session();
    const auto post = [&](const httplib::Headers& order) {
        return std::async(std::launch::async, [this, id, order] {
            const auto res = client().Post(("/api/sessions/" + id + "/maps/preview").c_str(),
                                           order, "", "text/plain");
            return res ? res->status : 0;
        });
    };
    const auto waiting = [&](unsigned n) {
        return eventually([&] { return server_->requests_waiting_for_slot() == n; });
    };
    const httplib::Headers none, second{{"X-Preview-Order", "10"}}, first{{"X-Preview-Order", "9"}};
    for (const auto& [arrives_first, arrives_later, later_wins] :
         {std::tuple{none, none, true}, std::tuple{second, first, false}}) {
        auto busy = server_->hold_work_slot();  // as a request making maps
        auto earlier = post(arrives_first);
        ASSERT_TRUE(waiting(1));
        auto later = post(arrives_later);
        if (later_wins) {
            ASSERT_TRUE(waiting(2));  // the later one waits too
        } else {
            EXPECT_EQ(later.get(), 409);  // or gives way at once
        }
        busy.reset();
        EXPECT_EQ(earlier.get(), later_wins ? 409 : 200);
        if (later_wins) {
            EXPECT_EQ(later.get(), 200);
        }
    }
}

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

int connect_to(int port, bool wait = true) {
    const int sock = ::socket(AF_INET, SOCK_STREAM | (wait ? 0 : SOCK_NONBLOCK), 0);
    sockaddr_in address{AF_INET, htons(static_cast<uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
    ::connect(sock, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    return sock;
}

// A client that sends a request's start, then one header byte every 200 ms
// until the server hangs up or `most` seconds pass; answers when it stopped.
Clock::time_point trickle(int port, double most) {
    const auto start = Clock::now();
    const int sock = connect_to(port);
    ::send(sock, "GET / HTTP/1.1\r\nX-Slow: ", 24, MSG_NOSIGNAL);
    char byte = 0;
    while (seconds_since(start) < most && ::send(sock, "a", 1, MSG_NOSIGNAL) == 1 &&
           ::recv(sock, &byte, 1, MSG_DONTWAIT) != 0) {
        ::usleep(200000);
    }
    ::close(sock);
    return Clock::now();
}

// A burst of connections all wait in the listen queue before any is accepted;
// twelve slow clients (more than the HTTP library's eight workers) neither
// keep others waiting nor outlast the header time; stop() ends every
// connection at once. The margins are half the header time, so that a busy
// machine does not fail the test and a server that makes others wait for the
// header time (or ignores it) still does.
TEST_F(ServeApi, SlowClientsHoldNeitherOthersNorTheStop) {
    constexpr double kHeaderTime = 3.0, kMargin = kHeaderTime / 2;
    rkserve::ServeLimits limits;
    limits.connections.header_time = std::chrono::milliseconds(3000);
    server_ = std::make_unique<rkserve::ReliefServer>(limits, std::nullopt, true);
    port_ = server_->bind("127.0.0.1", 0);
    std::vector<pollfd> burst;
    for (int i = 0; i < 64; ++i) burst.push_back({connect_to(port_, false), POLLOUT, 0});
    EXPECT_TRUE(eventually([&] { return ::poll(burst.data(), burst.size(), 0) == 64; }));
    for (const pollfd& p : burst) ::close(p.fd);
    thread_ = std::thread([this] { server_->run(); });

    for (const bool stop : {false, true}) {
        const auto launched = Clock::now();
        std::vector<std::future<Clock::time_point>> slow;
        for (int i = 0; i < 12; ++i)
            slow.push_back(std::async(std::launch::async, trickle, port_, 5 * kHeaderTime));
        ::usleep(300000);
        const auto start = Clock::now();
        if (stop) {
            server_->stop();
            thread_.join();
        } else {
            httplib::Client other("127.0.0.1", port_);
            other.set_read_timeout(30);
            EXPECT_TRUE(other.Get("/api/limits"));
        }
        EXPECT_LT(seconds_since(start), kMargin) << (stop ? "stop" : "another client");
        for (auto& kept : slow) {
            const auto from = stop ? start : launched;
            const double kept_for = std::chrono::duration<double>(kept.get() - from).count();
            EXPECT_LT(kept_for, stop ? kMargin : kHeaderTime + kMargin) << stop;
        }
    }
}

// Connections waiting for the only thread count the wait against their header
// time: silent ones, each held in turn until the keep-alive time (5 s) before,
// are closed by then, and a request sent meanwhile is answered. Only the
// deadlines bound a wait: one pause in a body, longer than the HTTP library's
// idle time (5 s), still gets the answer.
TEST_F(ServeApi, QueuedConnectionsCountTheirWaitAndOnePauseIsNoTimeOut) {
    start({.connections = {.header_time = std::chrono::seconds(1), .threads = 1}});
    for (int i = 0; i < 3; ++i) connect_to(port_);
    client_->set_read_timeout(4);
    EXPECT_TRUE(client_->Get("/api/limits"));
    const auto pause = [](auto, auto, auto& s) { return !::usleep(5500000) && s.write("x", 1); };
    const auto paused = client_->Post("/api/startup", 1, pause, "text/plain");
    EXPECT_EQ(paused ? paused->status : 0, 200);
}

// Requests sent back to back in one write (pipelined) are all answered, in
// order, well before the keep-alive time (5 s) that waiting on a dropped
// second request would take.
// Sends the bytes of whole requests on a new connection (then shuts its
// sending side, if asked) and answers all that comes back until the server
// closes it.
std::string exchange(int port, const std::string& requests, bool half_close = false) {
    const int sock = connect_to(port);
    std::string answers;
    if (::send(sock, requests.data(), requests.size(), MSG_NOSIGNAL) ==
        static_cast<ssize_t>(requests.size())) {
        if (half_close) ::shutdown(sock, SHUT_WR);
        char chunk[4096];
        for (ssize_t n; (n = ::recv(sock, chunk, sizeof chunk, 0)) > 0;) answers.append(chunk, n);
    }
    ::close(sock);
    return answers;
}

TEST_F(ServeApi, PipelinedRequestsAreAnsweredInOrder) {
    start();
    const std::string host = "Host: 127.0.0.1:" + std::to_string(port_) + "\r\n";
    const std::string requests = "GET /api/limits HTTP/1.1\r\n" + host + "\r\n" +
                                 "GET /api/nothing HTTP/1.1\r\n" + host +
                                 "Connection: close\r\n\r\n";
    const auto sent = Clock::now();
    const std::string answers = exchange(port_, requests);
    EXPECT_LT(seconds_since(sent), 2.5);
    EXPECT_TRUE(
        std::regex_search(answers, std::regex("^HTTP/1.1 200 [^]*max_pixels[^]*HTTP/1.1 404 ")))
        << answers;
}

// A client that shuts its sending side once its request is sent still reads
// the answer: an upload's and full-size maps'.
TEST_F(ServeApi, AClientThatShutsItsSendingSideIsAnswered) {
    start();
    const std::string id = session();
    for (const std::string& body : {sample_, std::string()}) {
        const std::string target = body.empty() ? "/" + id + "/maps/full" : "?name=a.png";
        const std::string sent = "POST /api/sessions" + target +
                                 " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port_) +
                                 "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" +
                                 body;
        EXPECT_EQ(exchange(port_, sent, true).substr(0, 12),
                  body.empty() ? "HTTP/1.1 200" : "HTTP/1.1 201");
    }
}

// What the HTTP library refuses by itself still says why: a POST without its
// length or with one that is no number, a URL past its limit, a malformed
// request line. A refusal before the body is read is the one answer on its
// connection, even when the body is a request of its own, and says
// Connection: close once, whether or not the client asked to close.
TEST_F(ServeApi, RefusalsBeforeRoutingSayWhy) {
    start();
    const std::string host = "Host: 127.0.0.1:" + std::to_string(port_) + "\r\n";
    const std::string inner = "POST /api/startup HTTP/1.1\r\n" + host + "Content-Length: 0\r\n\r\n";
    const std::string carrying =
        "Content-Length: " + std::to_string(inner.size()) + "\r\n\r\n" + inner;
    const std::pair<std::string, std::string> cases[] = {
        {"POST /api/startup HTTP/1.1\r\n" + host + "Origin: http://evil.example\r\n" + carrying,
         "evil.example"},
        {"POST /api/startup HTTP/1.1\r\nHost: evil.example\r\nConnection: close\r\n" + carrying,
         "evil.example"},
        {"POST /api/startup HTTP/1.1\r\n" + host + host + carrying, "more than one Host"},
        {"POST /api/startup HTTP/1.1\r\n" + host + "Content-Length: 0\r\n" + carrying,
         "more than one Content-Length"},
        {"POST /api/startup HTTP/1.1\r\n" + host + "Connection: close\r\n\r\n",
         "Content-Length, 0 for an empty body"},
        {"POST /api/sessions HTTP/1.1\r\n" + host + "\r\n" + inner, "until the connection ends"},
        {"POST /api/startup HTTP/1.1\r\n" + host + "Content-Length: -1\r\n\r\n" + inner,
         "no number of bytes: \\\"-1"},
        {"POST /api/startup?" + std::string(20000, 'a') + " HTTP/1.1\r\n" + host + carrying,
         "URL is too long"},
        {"BREW /api/startup HTTP/1.1\r\n" + host + carrying, "malformed"},
        // The body of a method whose body the HTTP library leaves unread.
        {"GET /api/limits HTTP/1.1\r\n" + host + carrying, "a GET takes no body"},
        {"OPTIONS /x HTTP/1.1\r\n" + host + "Transfer-Encoding: chunked\r\n\r\n0\r\n\r\n" + inner,
         "a OPTIONS takes no body"},
        // Past a limit by its length: answered at once, not after the body or the read time.
        {"POST /api/sessions HTTP/1.1\r\n" + host + "Content-Length: 107374182400\r\n\r\n",
         "64 MiB"},
        {"POST /x HTTP/1.1\r\n" + host + "Content-Type: application/x-www-form-urlencoded\r\n" +
             "Content-Length: 8193\r\n\r\n",
         "up to 8 KiB"},
    };
    for (const auto& [request, reason] : cases) {
        const auto sent = Clock::now();
        const std::string answer = exchange(port_, request);
        EXPECT_LT(seconds_since(sent), 2.5) << answer;
        EXPECT_NE(answer.find(reason), std::string::npos) << answer;
        EXPECT_EQ(answer.find("HTTP/1.1", 1), std::string::npos) << answer;
        const size_t close = answer.find("Connection: close");
        EXPECT_TRUE(close != std::string::npos && close == answer.rfind("Connection: close"))
            << answer;
        EXPECT_EQ(answer.find("Keep-Alive"), std::string::npos) << answer;
    }
}

}  // namespace
