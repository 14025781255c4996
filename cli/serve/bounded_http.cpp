#include "bounded_http.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <thread>
#include <vector>

namespace rkserve {
namespace {

using Clock = std::chrono::steady_clock;

// What a connection taken from the queue after its header time has to show
// its request: enough to read what it sent while it waited.
constexpr auto kTakenLate = std::chrono::milliseconds(100);

// When to stop waiting for headers due by `due`: then, or for a connection
// taken from the queue after that, a moment from now.
Clock::time_point headers_wait_end(Clock::time_point due) {
    return std::max(due, Clock::now() + kTakenLate);
}

// Waits until the socket is ready for events, at most idle and never past the
// deadline. A hang-up or error counts as ready: the read or send then says so.
bool wait_ready(socket_t sock, short events, Clock::time_point deadline,
                Clock::duration idle = Clock::duration::max()) {
    for (;;) {
        const auto left = std::min(deadline - Clock::now(), idle);
        if (left <= Clock::duration::zero()) return false;
        pollfd p{sock, events, 0};
        const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
        const int ready = ::poll(&p, 1, static_cast<int>(std::min<int64_t>(ms, INT32_MAX)));
        if (ready < 0 && errno == EINTR) continue;
        return ready > 0;
    }
}

void address_of(socket_t sock, bool peer, std::string& ip, int& port) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    auto* a = reinterpret_cast<sockaddr*>(&address);
    if ((peer ? ::getpeername(sock, a, &length) : ::getsockname(sock, a, &length)) != 0) return;
    char text[INET6_ADDRSTRLEN] = {};
    if (address.ss_family == AF_INET) {
        const auto* v4 = reinterpret_cast<const sockaddr_in*>(&address);
        ::inet_ntop(AF_INET, &v4->sin_addr, text, sizeof text);
        port = ntohs(v4->sin_port);
    } else if (address.ss_family == AF_INET6) {
        const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&address);
        ::inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof text);
        port = ntohs(v6->sin6_port);
    }
    ip = text;
}

// Bytes received on a connection and not yet handed to the HTTP library. They
// belong to the connection, not to one request: a client may send its next
// requests without waiting for the answer (pipelining), and whatever was read
// past the end of one request is the start of the next.
struct ReadAhead {
    char bytes[4096];
    size_t next = 0;
    size_t filled = 0;

    bool empty() const { return next == filled; }
};

// Whether the request this thread reads came too late (its stream's deadline
// passed), for the error handler to say so rather than call it malformed.
thread_local bool receive_late = false;
// When the connection this thread serves was accepted: its first request's
// header time counts from then, its wait for a thread included.
thread_local Clock::time_point accepted_at{};

// One request's traffic on a connection. The HTTP library reads the request
// line and headers a byte at a time, so reads are buffered (in the
// connection's ReadAhead, which the next request starts from). The headers
// must arrive by one deadline, the body by another counted from their end (the
// blank line that ends them; for headers read only after their deadline, as
// a connection's that waited for a thread, from that deadline), and the
// answer must be taken by a third, counted from its first byte. Only these
// deadlines bound a wait: the library's per-read and per-write idle times
// (5 s) would cut a client that pauses once for longer, well within them.
class DeadlineStream final : public httplib::Stream {
  public:
    DeadlineStream(socket_t sock, ReadAhead& ahead, const ConnectionLimits& limits,
                   Clock::time_point headers_due)
        : sock_(sock),
          ahead_(ahead),
          limits_(limits),
          headers_due_(headers_due),
          receive_by_(headers_wait_end(headers_due)) {
        receive_late = false;
    }

    bool is_readable() const override { return !ahead_.empty() || wait_to_receive(); }
    bool is_writable() const override {
        return wait_ready(sock_, POLLOUT, sending_ ? send_by_ : Clock::now() + limits_.send_time);
    }

    ssize_t read(char* ptr, size_t size) override {
        if (ahead_.empty()) {
            if (!wait_to_receive()) return -1;
            // Large reads of the body skip the buffer; the library asks for no
            // more than the rest of the body (or chunk), so these never take
            // the next request's bytes.
            char* into = size >= sizeof ahead_.bytes ? ptr : ahead_.bytes;
            ssize_t n = 0;
            do {
                n = ::recv(sock_, into, into == ptr ? size : sizeof ahead_.bytes, MSG_DONTWAIT);
            } while (n < 0 && (errno == EINTR || errno == EAGAIN) && wait_to_receive());
            if (n <= 0) return n;
            if (into == ptr) {
                note_received(ptr, static_cast<size_t>(n));
                return n;
            }
            ahead_.next = 0;
            ahead_.filled = static_cast<size_t>(n);
        }
        const size_t n = std::min(size, ahead_.filled - ahead_.next);
        std::memcpy(ptr, ahead_.bytes + ahead_.next, n);
        note_received(ptr, n);
        ahead_.next += n;
        return static_cast<ssize_t>(n);
    }

    ssize_t write(const char* ptr, size_t size) override {
        if (!sending_) send_by_ = Clock::now() + limits_.send_time;
        sending_ = true;
        // Never blocks in send (the socket's own time-out would let it pass the
        // deadline): whatever fits now goes, then the rest after the next wait.
        ssize_t n = -1;
        while (wait_ready(sock_, POLLOUT, send_by_)) {
            n = ::send(sock_, ptr, size, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n >= 0 || (errno != EINTR && errno != EAGAIN)) break;
        }
        return n;
    }

    void get_remote_ip_and_port(std::string& ip, int& port) const override {
        address_of(sock_, true, ip, port);
    }
    void get_local_ip_and_port(std::string& ip, int& port) const override {
        address_of(sock_, false, ip, port);
    }
    socket_t socket() const override { return sock_; }

    // True once the request did not arrive in time: the connection must end
    // (the client may still be sending the rest of it).
    static bool late() { return receive_late; }

  private:
    bool wait_to_receive() const {
        receive_late = receive_late || !wait_ready(sock_, POLLIN, receive_by_);
        return !receive_late;
    }

    // Watches for the blank line after the headers: the body's time starts there.
    void note_received(const char* bytes, size_t n) {
        for (size_t i = 0; i < n && !headers_done_; ++i) {
            last_four_ = last_four_ << 8 | static_cast<unsigned char>(bytes[i]);
            if (last_four_ == 0x0d0a0d0au) {
                headers_done_ = true;
                receive_by_ = std::min(Clock::now(), headers_due_) + limits_.body_time;
            }
        }
    }

    socket_t sock_;
    ReadAhead& ahead_;
    const ConnectionLimits& limits_;
    Clock::time_point headers_due_;
    Clock::time_point receive_by_;
    Clock::time_point send_by_{};
    bool sending_ = false;
    bool headers_done_ = false;
    uint32_t last_four_ = 0;
};

// A thread per connection, made when every thread there is has one, up to a
// cap; beyond it connections wait in turn, each with the time it came (the
// library hands a connection over as soon as it is accepted). (The library's
// own pool has a fixed eight, which eight slow clients fill.)
class ConnectionThreads final : public httplib::TaskQueue {
  public:
    explicit ConnectionThreads(unsigned most) : most_(std::max(1u, most)) {}
    ~ConnectionThreads() override { shutdown(); }

    void enqueue(std::function<void()> fn) override {
        std::unique_lock hold(mutex_);
        jobs_.push_back({std::move(fn), Clock::now()});
        if (jobs_.size() > idle_ && threads_.size() < most_) {
            try {
                threads_.emplace_back([this] { work(); });
            } catch (const std::system_error&) {
                // No thread to be had: the job waits for one that is there.
                // With none at all it is served here, on the accepting
                // thread, which takes the next connection after it: slower,
                // but every request is answered instead of waiting for ever.
                if (threads_.empty()) {
                    Job job = std::move(jobs_.back());
                    jobs_.pop_back();
                    hold.unlock();
                    accepted_at = job.queued;
                    job.run();
                    return;
                }
            }
        }
        wake_.notify_one();
    }

    void shutdown() override {
        std::vector<std::thread> leaving;
        {
            std::lock_guard hold(mutex_);
            stopping_ = true;
            leaving.swap(threads_);
        }
        wake_.notify_all();
        for (std::thread& t : leaving) t.join();
    }

  private:
    void work() {
        std::unique_lock hold(mutex_);
        for (;;) {
            ++idle_;
            wake_.wait(hold, [&] { return !jobs_.empty() || stopping_; });
            --idle_;
            if (jobs_.empty()) return;
            Job job = std::move(jobs_.front());
            jobs_.pop_front();
            hold.unlock();
            accepted_at = job.queued;
            job.run();
            hold.lock();
        }
    }

    const unsigned most_;
    std::mutex mutex_;
    std::condition_variable wake_;
    struct Job {
        std::function<void()> run;
        Clock::time_point queued;
    };
    std::deque<Job> jobs_;
    std::vector<std::thread> threads_;
    size_t idle_ = 0;
    bool stopping_ = false;
};

// Set by a handler on the connection's own thread, read after its request.
thread_local bool close_asked = false;
// The connection this thread serves, for its handlers to look at.
thread_local socket_t connection = INVALID_SOCKET;

// An answer after which the connection ends says so once: the HTTP library
// adds its own Connection: close when the client asked for one, and offers
// Keep-Alive otherwise.
void say_close(const httplib::Request&, httplib::Response& res) {
    if (!close_asked) return;
    res.headers.erase("Connection");
    res.headers.erase("Keep-Alive");
    res.set_header("Connection", "close");
}

}  // namespace

BoundedHttpServer::BoundedHttpServer(const ConnectionLimits& limits) : limits_(limits) {
    new_task_queue = [this] { return new ConnectionThreads(limits_.threads); };
    set_post_routing_handler(say_close);
}

void BoundedHttpServer::widen_backlog() {
    const socket_t sock = svr_sock_;
    if (sock != INVALID_SOCKET) ::listen(sock, limits_.backlog);
}

void BoundedHttpServer::stop_now() {
    {
        std::lock_guard hold(mutex_);
        stopping_ = true;
        for (const socket_t sock : open_) ::shutdown(sock, SHUT_RDWR);
    }
    stop();
}

bool BoundedHttpServer::stopping() {
    std::lock_guard hold(mutex_);
    return stopping_;
}

bool BoundedHttpServer::track(socket_t sock, bool add) {
    std::lock_guard hold(mutex_);
    if (add && stopping_) return false;
    if (add)
        open_.insert(sock);
    else
        open_.erase(sock);
    return true;
}

namespace {
// A client still sending the body of a refused request would meet a reset if
// the socket were closed with its bytes unread, and could lose the answer
// with it. So the answer's end is marked, and what arrives is read and
// dropped until the client closes, for at most kLinger.
constexpr auto kLinger = std::chrono::seconds(2);

void linger(socket_t sock) {
    ::shutdown(sock, SHUT_WR);
    const auto deadline = Clock::now() + kLinger;
    char sink[16384];
    while (wait_ready(sock, POLLIN, deadline, kLinger)) {
        const ssize_t got = ::recv(sock, sink, sizeof sink, 0);
        if (got == 0 || (got < 0 && errno != EINTR)) break;
    }
}
}  // namespace

void BoundedHttpServer::close_after_answer() noexcept {
    close_asked = true;
}

bool BoundedHttpServer::came_too_slowly() noexcept {
    return DeadlineStream::late();
}

// A reset leaves the connection hung up for good, which poll tells without
// reading: a read would clear the error, and the next look would find only
// the end of the stream.
BoundedHttpServer::ClientEnd BoundedHttpServer::client_end() noexcept {
    if (connection == INVALID_SOCKET) return ClientEnd::open;
    pollfd watched{connection, POLLIN, 0};
    if (::poll(&watched, 1, 0) > 0 && (watched.revents & (POLLHUP | POLLERR))) {
        return ClientEnd::broken;
    }
    char byte = 0;
    const ssize_t got = ::recv(connection, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    if (got == 0) return ClientEnd::sent_all;
    const bool waiting = got > 0 || errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
    return waiting ? ClientEnd::open : ClientEnd::broken;
}

bool BoundedHttpServer::process_and_close_socket(socket_t sock) {
    bool ok = false;
    if (track(sock, true)) {
        connection = sock;
        // The first request's headers are due a header time after the
        // connection was accepted, so that connections queued behind slow
        // ones (past the thread cap) do not hold the queue in turn: one
        // taken after that has only kTakenLate to show the request it sent
        // meanwhile, and a silent or slow one is closed at once.
        Clock::time_point headers_due = accepted_at + limits_.header_time;
        // Requests follow each other on a kept-alive connection, each waited
        // for at most the keep-alive time; one already read ahead starts at
        // once (its bytes may be all the client sends, so waiting for more
        // would hold it for the keep-alive time).
        ReadAhead ahead;
        for (size_t left = keep_alive_max_count_; left > 0; --left) {
            // The first request's first byte may take its header time; a later
            // one is waited for the keep-alive time.
            const auto idle = left == keep_alive_max_count_
                                  ? Clock::duration::max()
                                  : Clock::duration(std::chrono::seconds(keep_alive_timeout_sec_));
            if (ahead.empty() && !wait_ready(sock, POLLIN, headers_wait_end(headers_due), idle)) {
                break;
            }
            // After stop_now no request begins, not even one read ahead.
            if (stopping()) break;
            // A later request's header time counts from its first byte.
            if (left != keep_alive_max_count_) headers_due = Clock::now() + limits_.header_time;
            DeadlineStream stream(sock, ahead, limits_, headers_due);
            bool closed = false;
            close_asked = false;
            ok = process_request(stream, left == 1, closed, nullptr);
            // A late client is cut at once: lingering would give it more time.
            if (close_asked && !DeadlineStream::late()) linger(sock);
            if (!ok || closed || close_asked || DeadlineStream::late()) break;
            headers_due = Clock::time_point::max();
        }
        track(sock, false);
        connection = INVALID_SOCKET;
    }
    ::shutdown(sock, SHUT_RDWR);
    ::close(sock);
    return ok;
}

}  // namespace rkserve
