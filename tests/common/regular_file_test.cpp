// Readers take only regular files, and refuse anything else at once: a FIFO with
// no writer would otherwise block the open (and so load_image) for ever. The
// savers refuse the same (a FIFO with no reader would block them), and never
// write through it (a device would take the file).
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <future>
#include <string>

#include "load/load_test_support.h"

namespace {

class NotRegular : public ::testing::TestWithParam<const char*> {};

TEST_P(NotRegular, IsRefusedAtOnce) {
    TempDir dir;
    std::string path = (dir / "thing").string();
    const std::string kind = GetParam();
    int made = 0;
    if (kind == "a FIFO") made = ::mkfifo(path.c_str(), 0600);
    if (kind == "a directory") made = ::mkdir(path.c_str(), 0700);
    if (kind == "a device") path = "/dev/null";
    const int sock = kind == "a socket" ? ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0) : -1;
    if (sock >= 0) {
        sockaddr_un addr{AF_UNIX, {}};
        std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
        made = ::bind(sock, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
    }
    ASSERT_EQ(made, 0) << std::strerror(errno);
    SinkRecorder sink;
    std::u16string saved(64, u'#');
    auto loading = std::async(std::launch::async, [wide = widen(path), &saved] {
        core_saveimage_png(saved.data(), 64, wide.c_str(), Img(create_imgbuf(2, 2)).get());
        return Img(load_image(wide.c_str())) != nullptr;
    });
    const bool in_time = loading.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    // A reader or writer stuck in the open of the FIFO: the other end lets it go.
    if (!in_time) ::close(::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC));
    EXPECT_TRUE(in_time);
    EXPECT_FALSE(loading.get());
    EXPECT_EQ(saved.c_str(), std::u16string(u"Could not open output file: not a regular file"));
    EXPECT_EQ(sink.texts(), Texts(2, path + ": not a regular file (" + kind + ")"));
    if (sock >= 0) ::close(sock);
}

INSTANTIATE_TEST_SUITE_P(Table, NotRegular, ::testing::Values("a FIFO", "a directory", "a device", "a socket"),
                         [](const auto& info) { return std::string(info.param).substr(2); });

}  // namespace
