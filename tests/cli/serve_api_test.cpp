// reliefkit serve's API end to end: a server on a loopback port, driven by an
// HTTP client as the page drives it.
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <future>
#include <regex>
#include <thread>

#include "diagnostics.h"
#include "image.h"
#include "png_test_io.h"
#include "relief_server.h"
#include "reliefkit.h"
#include "run_program.h"
#include "temp_dir.h"
#include "text_conversion.h"

namespace {

const std::string kSample = RK_SAMPLES "/bricks.png";

std::string field(const std::string& json, const std::string& name) {
    std::smatch m;
    const std::regex pattern("\"" + name + "\":(\"([^\"]*)\"|[0-9.]+)");
    if (!std::regex_search(json, m, pattern)) return {};
    return m[2].matched ? m[2].str() : m[1].str();
}

// A w x h PNG resampled from the sample: a big one's maps take as long as a
// photograph's, which keeps a work slot busy long enough.
std::string png_of(uint32_t w, uint32_t h) {
    const TempDir dir;
    const rkcli::Image sample(load_image(rkcli::path_to_utf16(kSample)->c_str()));
    const rkcli::Image image(imgbuf_resample(sample.get(), w, h));
    char16_t message[256] = {};
    core_saveimage_png(message, 256, rkcli::path_to_utf16((dir / "made.png").string())->c_str(),
                       image.get());
    return file_bytes(dir / "made.png");
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
        rkcli::install_diagnostics_sink();
        sample_ = file_bytes(kSample);
    }
    void TearDown() override {
        if (server_) server_->stop();
        if (thread_.joinable()) thread_.join();
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
        {upload(sample_), 413, "262144 pixels"},
        // Headers claiming huge images, refused before decoding: PNG, JPEG after an APP0.
        {upload(std::string("\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR\0\0\xea\x60\0\0\x75\x30", 24) +
                std::string(64, '\0')),
         413, "60000x30000"},
        {upload(std::string("\xff\xd8\xff\xe0\0\x04"
                            "ab\xff\xc0\0\x11\x08\x9c\x40\x9c\x41",
                            17) +
                std::string(64, '\0')),
         413, "40001x40000"},
        {maps(other, "preview"), 404, "no session"},
        {maps(id, "preview", {{"no-such-option", "1"}}), 400, "not an option"},
        {maps(id, "preview", {{"out-dir", "/etc"}}), 400, "not an option"},
        {maps(id, "preview", {{"invert-x", "yes"}}), 400, "is a switch"},
        {maps(id, "preview", {{"strength", "2"}, {"strength", "3"}}), 400, "more than once"},
        {maps(id, "sideways"), 404, "README"},
        {client_->Get(("/api/sessions/" + id + "/maps/99/height.png").c_str()), 404, "gone"},
        {client_->Get("/api/options", {{"Host", "attacker.example:80"}}), 403, "attacker"},
        {client_->Get("/api/options", {{"Host", own}, {"Host", "attacker.example"}}), 400, "Host"},
        {maps(id, "full", {{"resize", "600x600"}}), 413, "360000 pixels"},
        // Another site's page may not change anything: by Origin, or without one by
        // Sec-Fetch-Site; this server's own page may.
        {client_->Post("/api/sessions", {{"Origin", "http://evil.example"}}, png, "text/plain"),
         403, "evil.example"},
        {client_->Delete(("/api/sessions/" + id).c_str(), {{"Sec-Fetch-Site", "cross-site"}}), 403,
         "own page"},
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
        R"re("name":"([^"]+)","kind":"(whole|real)"[^{}]*?"low":([-0-9.e]+),"high":([-0-9.e]+))re");
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

// Sessions are counted and end when idle. Nothing of an upload stays on disk:
// the private directory is empty between requests and gone with the server.
TEST_F(ServeApi, SessionsAreCountedEndWhenIdleAndLeaveNothingOnDisk) {
    TempDir dir;
    const std::string saved = std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "";
    ::setenv("TMPDIR", dir.path().c_str(), 1);
    start({.max_sessions = 2, .idle_timeout = std::chrono::seconds(1)});
    saved.empty() ? ::unsetenv("TMPDIR") : ::setenv("TMPDIR", saved.c_str(), 1);
    const std::string first = session(), second = session();
    const auto refused = upload(sample_);
    EXPECT_EQ(refused->status, 503);
    EXPECT_NE(refused->body.find("--max-sessions"), std::string::npos);
    EXPECT_EQ(client_->Delete(("/api/sessions/" + first).c_str())->status, 204);
    const std::string third = session();
    ASSERT_EQ(maps(third, "full")->status + maps(third, "preview")->status, 400);
    for (const auto& entry : std::filesystem::recursive_directory_iterator(dir.path()))
        EXPECT_FALSE(entry.is_regular_file()) << entry.path();
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    for (const std::string& id : {second, third}) {
        const auto gone = maps(id, "preview");
        EXPECT_EQ(gone->status, 404);
        EXPECT_NE(gone->body.find("expired"), std::string::npos) << gone->body;
    }
    server_->stop();
    thread_.join();
    server_.reset();
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
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

// While the only work slot is taken, a preview request that a newer one of
// the same session overtakes gives way (409) without being made. Newer is the
// later arrival, or the higher X-Preview-Order where the client numbers them,
// since its requests may arrive out of order.
TEST_F(ServeApi, AWaitingPreviewGivesWayToANewerOne) {
    start({.work_slots = 1});
    const std::string big = session(png_of(2400, 2400));
    const std::string id = session();
    const auto post = [&](const std::string& session, const std::string& size,
                          const httplib::Headers& order) {
        const auto res = client().Post(("/api/sessions/" + session + "/maps/" + size).c_str(),
                                       order, "", "text/plain");
        return res ? res->status : 0;
    };
    const httplib::Headers none, second{{"X-Preview-Order", "10"}}, first{{"X-Preview-Order", "9"}};
    for (const auto& [arrives_first, arrives_later, later_wins] :
         {std::tuple{none, none, true}, std::tuple{second, first, false}}) {
        std::thread full([&] { EXPECT_EQ(post(big, "full", none), 200); });
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        int earlier = 0;
        std::thread waiting([&] { earlier = post(id, "preview", arrives_first); });
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        EXPECT_EQ(post(id, "preview", arrives_later), later_wins ? 200 : 409);
        waiting.join();
        full.join();
        EXPECT_EQ(earlier, later_wins ? 409 : 200);
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
// until the server hangs up or `most` seconds pass; answers the seconds it
// was kept.
double trickle(int port, double most) {
    const auto start = Clock::now();
    const int sock = connect_to(port);
    ::send(sock, "GET / HTTP/1.1\r\nX-Slow: ", 24, MSG_NOSIGNAL);
    char byte = 0;
    while (seconds_since(start) < most && ::send(sock, "a", 1, MSG_NOSIGNAL) == 1 &&
           ::recv(sock, &byte, 1, MSG_DONTWAIT) != 0) {
        ::usleep(200000);
    }
    ::close(sock);
    return seconds_since(start);
}

// A burst of connections all wait in the listen queue before any is accepted;
// twelve slow clients (more than the HTTP library's eight workers) neither
// keep others waiting nor outlast the header time; stop() ends every
// connection at once.
TEST_F(ServeApi, SlowClientsHoldNeitherOthersNorTheStop) {
    rkserve::ServeLimits limits;
    limits.connections.header_time = std::chrono::milliseconds(1000);
    server_ = std::make_unique<rkserve::ReliefServer>(limits, std::nullopt, true);
    port_ = server_->bind("127.0.0.1", 0);
    std::vector<pollfd> burst;
    for (int i = 0; i < 64; ++i) burst.push_back({connect_to(port_, false), POLLOUT, 0});
    ::usleep(300000);
    EXPECT_EQ(::poll(burst.data(), burst.size(), 0), 64);
    for (const pollfd& p : burst) ::close(p.fd);
    thread_ = std::thread([this] { server_->run(); });

    for (const bool stop : {false, true}) {
        std::vector<std::future<double>> slow;
        for (int i = 0; i < 12; ++i)
            slow.push_back(std::async(std::launch::async, trickle, port_, 5.0));
        ::usleep(300000);
        const auto start = Clock::now();
        if (stop) {
            server_->stop();
            thread_.join();
        } else {
            httplib::Client other("127.0.0.1", port_);
            other.set_read_timeout(3);
            EXPECT_TRUE(other.Get("/api/limits"));
        }
        EXPECT_LT(seconds_since(start), 0.5) << (stop ? "stop" : "another client");
        for (auto& kept : slow) EXPECT_LT(kept.get(), stop ? 0.8 : 1.8) << stop;
    }
}

}  // namespace
