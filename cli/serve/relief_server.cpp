#include "relief_server.h"

#include <httplib.h>
#include <malloc.h>

#include <algorithm>
#include <charconv>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "bounded_http.h"
#include "image_header.h"
#include "json_text.h"
#include "map_files.h"
#include "map_maker.h"
#include "naming.h"
#include "option_form.h"
#include "options.h"
#include "session_store.h"
#include "text_conversion.h"
#include "web_assets.h"
#include "work_slots.h"

namespace rkserve {
namespace {

constexpr std::string_view kAllMaps = "height,normal,ao,curvature,roughness,albedo";

using httplib::Request;
using httplib::Response;
using HandlerResponse = httplib::Server::HandlerResponse;

// The longest file name Linux's file systems hold, in bytes.
constexpr size_t kMaxNameLength = 255;
constexpr const char* kLoopbackNames[] = {"127.0.0.1", "localhost", "[::1]"};

void send_json(Response& res, int status, const std::string& json) {
    res.status = status;
    res.set_content(json, "application/json");
}

// Errors are {"error": headline, "diagnostics": [lines]}: the lines are the
// library's own reasons, as the command prints them below its headline.
void send_error(Response& res, int status, const std::string& error,
                const std::vector<std::string>& diagnostics = {}) {
    std::vector<std::string> lines;
    for (const std::string& line : diagnostics) lines.push_back(json_quote(line));
    send_json(res, status,
              JsonObject().text("error", error).raw("diagnostics", json_array(lines)).str());
}

// A failure text of the command's job: headline, then indented diagnostics.
void send_failure(Response& res, int status, const std::string& failure) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start <= failure.size()) {
        const size_t end = std::min(failure.find('\n', start), failure.size());
        std::string line = failure.substr(start, end - start);
        line.erase(0, line.find_first_not_of(' '));
        if (!line.empty()) lines.push_back(std::move(line));
        start = end + 1;
    }
    const std::string headline = lines.empty() ? "the maps could not be made" : lines.front();
    if (!lines.empty()) lines.erase(lines.begin());
    send_error(res, status, headline, lines);
}

// What the page's Download and command line add to the photo's stem in the
// longest of its maps' file names ("_roughness.png"): every map, and the page
// offers no --format, so each is a PNG.
size_t longest_map_suffix() {
    const rkcli::Options options;
    size_t longest = 0;
    for (size_t kind = 0; kind < rkcli::kMapNames.size(); ++kind) {
        longest = std::max(longest, rkcli::map_file_suffix(options, rkcli::MapKind(kind)).size());
    }
    return longest;
}

// The client's file name, only ever shown (command line, downloads): its last
// path part, without control characters. Kept whole, since the command line
// shown must name the photo as it is called in its folder.
std::string display_name(std::string name) {
    name.erase(0, name.find_last_of("/\\") == std::string::npos ? 0 : name.find_last_of("/\\") + 1);
    for (char& c : name) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '_';
    }
    return name.empty() || name == "." || name == ".." ? std::string("photo.png") : name;
}

std::string session_json(const Session& s) {
    return JsonObject()
        .text("session", s.id)
        .text("name", s.name)
        .number("width", s.width)
        .number("height", s.height)
        .number("preview_width", imgbuf_w(s.preview.get()))
        .number("preview_height", imgbuf_h(s.preview.get()))
        .str();
}

// How the page's shader reads the normal map back: which file channel holds
// x, y and z (-1: none), which axes are flipped, and whether the normals were
// blurred, which changes what blue holds and shortens x and y.
std::string encoding_json(const rkcli::Options& o) {
    const int32_t order[3] = {o.channels.red, o.channels.green, o.channels.blue};
    std::vector<std::string> holder;
    for (int32_t axis = 0; axis < 3; ++axis) {
        int32_t at = -1;
        for (int32_t c = 0; c < 3; ++c) at = at < 0 && order[c] == axis ? c : at;
        holder.push_back(std::to_string(at));
    }
    return JsonObject()
        .raw("channel_of_axis", json_array(holder))
        .boolean("invert_x", o.normal.invert_x)
        .boolean("invert_y", o.normal.invert_y)
        .boolean("blurred", o.normal.blurred())
        .str();
}

// A PNG as it is kept: encoding appends to it, which can leave it holding
// up to twice its size, and the stored maps are counted by what they hold.
std::string fitted(std::string png) {
    png.shrink_to_fit();
    return png;
}

// Media type names are case-insensitive, but the HTTP library tells a form
// (URL-encoded or multipart) only by its name in lower case, and would read
// Application/X-WWW-Form-Urlencoded as no options at all: the name is lowered
// before the body is read. Its parameters keep their case (a multipart
// boundary is matched exactly).
void lower_media_type(httplib::Headers& headers) {
    const auto [first, last] = headers.equal_range("Content-Type");
    for (auto type = first; type != last; ++type) {
        std::string& text = type->second;
        const size_t name_end = std::min(text.find(';'), text.size());
        for (size_t i = 0; i < name_end; ++i) {
            if (text[i] >= 'A' && text[i] <= 'Z') text[i] = static_cast<char>(text[i] - 'A' + 'a');
        }
    }
}

// Counts a request's work once it is over, whichever way it ends.
struct CountOnReturn {
    std::atomic<uint64_t>& count;
    ~CountOnReturn() { ++count; }
};

// An upload no reader took is the client's to mend (422); one the library
// had no memory for is the server's (500), as maps it has none for are.
int unreadable_status(const Decoded& decoded) {
    return decoded.status == RK_ERROR_MEMORY ? 500 : 422;
}

// "1 session", "2 sessions".
std::string number_of(int64_t n, const std::string& thing) {
    return std::to_string(n) + " " + thing + (n == 1 ? "" : "s");
}

std::string minutes(std::chrono::seconds s) {
    return s.count() % 60 == 0 ? number_of(s.count() / 60, "minute")
                               : number_of(s.count(), "second");
}

// Starts a thread the server cannot do without; when none can be had, the
// error says which.
template <class Body>
std::jthread needed_thread(const char* name, Body body) {
    try {
        return std::jthread(std::move(body));
    } catch (const std::system_error& e) {
        throw std::runtime_error(std::string("cannot start the ") + name +
                                 " thread: " + e.code().message());
    }
}

}  // namespace

bool loopback_address(std::string_view listen) {
    return listen == "127.0.0.1" || listen == "::1" || listen == "localhost";
}

struct ReliefServer::Impl {
    Impl(const ServeLimits& l, std::optional<StartupPhoto> photo, bool check)
        : limits(l),
          store(limits),
          slots(l.work_slots),
          startup(std::move(photo)),
          check_host(check),
          http(l.connections) {
        routes();
    }

    void routes() {
        http.set_payload_max_length(limits.max_upload_bytes);
        http.set_pre_routing_handler(
            httplib::Server::HandlerWithResponse([this](const Request& req, Response& res) {
                // Every answer is whole: the HTTP library would cut any answer
                // (JSON and errors too) to the byte ranges asked for and build
                // one part per range, repeats included, in memory, so a header
                // of a few kilobytes could ask a gigabyte of a map. Range is
                // ignored, as HTTP allows; the request reaches this handler as
                // const but is the library's own object.
                const_cast<Request&>(req).ranges.clear();
                lower_media_type(const_cast<Request&>(req).headers);
                const HandlerResponse host = host_check(req, res);
                return host == HandlerResponse::Handled ? host : body_check(req, res);
            }));
        http.set_error_handler(httplib::Server::HandlerWithResponse(
            [this](const Request& req, Response& res) { return fill_error(req, res); }));
        http.Get("/",
                 [](const Request& req, Response& res) { serve_asset("/index.html", req, res); });
        http.Get(R"(/([a-z_]+\.[a-z]+))",
                 [](const Request& req, Response& res) { serve_asset(req.path, req, res); });
        http.Get("/api/options",
                 [](const Request&, Response& res) { send_json(res, 200, options_json()); });
        http.Get("/api/limits",
                 [this](const Request&, Response& res) { send_json(res, 200, limits_json()); });
        http.Post("/api/startup", [this](const Request&, Response& res) {
            if (!startup) return send_json(res, 200, R"({"session":null})");
            create_session(startup->name, startup->bytes, res);
        });
        http.Post("/api/sessions", [this](const Request& req, Response& res) { upload(req, res); });
        http.Delete(R"(/api/sessions/([0-9a-f]{32}))", [this](const Request& req, Response& res) {
            if (!store.remove(req.matches[1])) return no_session(res, req.matches[1]);
            res.status = 204;
        });
        http.Post(R"(/api/sessions/([0-9a-f]{32})/maps/(preview|full))",
                  [this](const Request& req, Response& res) { make(req, res); });
        http.Get(
            R"(/api/sessions/([0-9a-f]{32})/maps/([0-9]{1,19})/(height|normal|ao|curvature|roughness|albedo)\.png)",
            [this](const Request& req, Response& res) { download(req, res); });
    }

    HandlerResponse host_check(const Request& req, Response& res) const {
        if (req.get_header_value_count("Host") > 1) {
            return refuse(res, 400, "the request names more than one Host");
        }
        const std::string host = req.get_header_value("Host");
        const std::string port_text = rkcli::concat(":", std::to_string(port));
        // Without a port, a Host names port 80.
        const auto loopback = [&](const char* name) {
            return host == name + port_text || (port == 80 && host == name);
        };
        if (check_host &&
            std::none_of(std::begin(kLoopbackNames), std::end(kLoopbackNames), loopback)) {
            return refuse(res, 403,
                          "this server answers only requests for 127.0.0.1" + port_text +
                              ", localhost" + port_text + " or [::1]" + port_text + ", not for \"" +
                              host + "\"");
        }
        if (req.method != "GET" && req.method != "HEAD" && !from_own_page(req, host)) {
            return refuse(
                res, 403,
                "this server takes changes only from its own page, not from " + sender(req));
        }
        return HandlerResponse::Unhandled;
    }

    // A refusal before routing leaves the request's body unread on the
    // connection, and the body may be a whole request of its own: one with no
    // Origin, which would pass the checks above. So the connection ends with
    // the answer.
    static HandlerResponse refuse(Response& res, int status, const std::string& error) {
        send_error(res, status, error);
        BoundedHttpServer::close_after_answer();
        return HandlerResponse::Handled;
    }

    // The HTTP library holds --max-upload to a body's Content-Length only: a
    // chunked body, one without a length (read until the client closes), or
    // one it inflates, would be read whole into memory however large. The page
    // sends every upload with its length, as it is. A second Content-Length is
    // refused too: the HTTP library would read the body by the first, and the
    // rest would be taken for another request; and one that is no number, which
    // the library reads as the number its first digits make (none: 0, "-1":
    // the largest there is). A body on a method whose body the library does not
    // read is refused too. Checked before the body is read (refuse() ends the
    // connection).
    HandlerResponse body_check(const Request& req, Response& res) const {
        const bool upload = req.path == "/api/sessions";
        if (!body_read(req.method) && (req.has_header("Transfer-Encoding") ||
                                       !no_body(req.get_header_value("Content-Length")))) {
            return refuse(res, 400,
                          "a " + req.method +
                              " takes no body: send it with no Transfer-Encoding "
                              "and a Content-Length of 0 or none");
        }
        if (req.has_header("Transfer-Encoding")) {
            return refuse(res, 411,
                          "send the upload with its length (Content-Length): this server takes "
                          "no chunked bodies");
        }
        if (!req.has_header("Content-Length") && read_without_length(req.method)) {
            if (upload) {
                return refuse(res, 411,
                              "send the upload with its length (Content-Length): this server "
                              "takes no body read until the connection ends");
            }
            return refuse(res, 400,
                          "a " + req.method + " needs its Content-Length, 0 for an empty body");
        }
        if (req.get_header_value_count("Content-Length") > 1) {
            return refuse(res, 400, "the request gives more than one Content-Length");
        }
        if (const std::string length = req.get_header_value("Content-Length");
            req.has_header("Content-Length") && !all_digits(length)) {
            return refuse(res, 400,
                          "the request's Content-Length is no number of bytes: \"" + length + "\"");
        }
        if (req.has_header("Content-Encoding") &&
            req.get_header_value("Content-Encoding") != "identity") {
            return refuse(res, 415,
                          "send the upload as it is: this server takes no compressed bodies "
                          "(Content-Encoding)");
        }
        // The HTTP library reads a body past its limit to the end, however
        // long, and only then answers 413: a client could hold the connection
        // for as long as it keeps sending. The length says it first.
        if (over_limit(req)) {
            res.status = 413;
            return fill_error(req, res);  // the library's own reason; ends the connection
        }
        return HandlerResponse::Unhandled;
    }

    // Whether the Content-Length is past what the HTTP library takes: the
    // --max-upload, and for a URL-encoded form, which it parses as fields,
    // 8 KiB. One too large to be held as a number is past both.
    bool over_limit(const Request& req) const {
        const std::string length = req.get_header_value("Content-Length");
        uint64_t bytes = 0;
        const std::errc error =
            std::from_chars(length.data(), length.data() + length.size(), bytes).ec;
        const uint64_t most =
            req.get_header_value("Content-Type").starts_with("application/x-www-form-urlencoded")
                ? std::min<uint64_t>(limits.max_upload_bytes,
                                     CPPHTTPLIB_FORM_URL_ENCODED_PAYLOAD_MAX_LENGTH)
                : limits.max_upload_bytes;
        return error == std::errc::result_out_of_range || bytes > most;
    }

    // The methods whose body the HTTP library reads, without a Content-Length,
    // until the client closes the connection.
    static bool read_without_length(const std::string& method) {
        return method == "POST" || method == "PUT" || method == "PATCH" || method == "PRI";
    }

    // The methods whose body the HTTP library reads, by its Content-Length.
    // Any other's it leaves on the connection, to be read as the next request,
    // and that one may have no Origin: such a body is refused unread.
    static bool body_read(const std::string& method) {
        return read_without_length(method) || method == "DELETE";
    }

    // A Content-Length that says the request has no body (an absent one does
    // for the methods whose body is not read).
    static bool no_body(std::string_view length) {
        return length.find_first_not_of('0') == std::string_view::npos;
    }

    static bool all_digits(std::string_view text) {
        return !text.empty() &&
               std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
    }

    // Any page the user visits may send requests here (a form, or a fetch whose
    // answer it cannot read), so whatever changes state must come from this
    // server's own page. Browsers name the sending page's origin in Origin on
    // every POST and DELETE, and say in Sec-Fetch-Site whether it is this site;
    // a client that sends neither is no browser, and no page drives it.
    static bool from_own_page(const Request& req, const std::string& host) {
        if (req.has_header("Origin")) {
            return req.get_header_value_count("Origin") == 1 &&
                   req.get_header_value("Origin") == "http://" + host;
        }
        const std::string site = req.get_header_value("Sec-Fetch-Site");
        return site.empty() || site == "same-origin" || site == "none";
    }

    // The page a refused change came from, as the browser named it: its
    // origin, or without one only how it stands to this site.
    static std::string sender(const Request& req) {
        if (req.has_header("Origin"))
            return rkcli::concat("\"", req.get_header_value("Origin"), "\"");
        return rkcli::concat("a page that is \"", req.get_header_value("Sec-Fetch-Site"),
                             "\" to it (Sec-Fetch-Site)");
    }

    // The HTTP library's own refusals (a malformed request line or header, a
    // URL too long, a body cut short), and body_check's of a body over the
    // limit, come here with no body. All but "nothing here" are made before the request's body is read,
    // or part way through it: the rest is still on the connection, and may be
    // a whole request of its own, one with no Origin. So the connection ends
    // with the answer.
    HandlerResponse fill_error(const Request& req, Response& res) const {
        if (!res.body.empty()) return HandlerResponse::Unhandled;
        if (res.status != 404) BoundedHttpServer::close_after_answer();
        // The HTTP library parses a form's body as fields and takes at most
        // 8 KiB of it; curl --data-binary sends that type unless told otherwise.
        if (res.status == 413 &&
            req.get_header_value("Content-Type").starts_with("application/x-www-form-urlencoded")) {
            send_error(res, 413,
                       "an upload sent as a form (Content-Type "
                       "application/x-www-form-urlencoded) is taken only up to 8 KiB: send the "
                       "image as application/octet-stream");
        } else if (res.status == 413) {
            send_error(res, 413,
                       "the upload is larger than " +
                           std::to_string(limits.max_upload_bytes >> 20) +
                           " MiB, the most this server takes (reliefkit serve --max-upload)");
        } else if (res.status == 404) {
            send_error(res, 404, "nothing here: the API is described in reliefkit's README");
        } else if (res.status == 414) {
            send_error(res, 414, "the request's URL is too long: send the options as a form");
        } else if (res.status == 400 && BoundedHttpServer::came_too_slowly()) {
            // Cut short by its deadline, not by what it held.
            const auto& c = limits.connections;
            send_error(
                res, 408,
                "the request was sent too slowly: its headers must arrive within " +
                    minutes(std::chrono::duration_cast<std::chrono::seconds>(c.header_time)) +
                    " and its body within " +
                    minutes(std::chrono::duration_cast<std::chrono::seconds>(c.body_time)) +
                    " after them");
        } else {
            send_error(res, res.status,
                       "the request is malformed (HTTP status " + std::to_string(res.status) + ")");
        }
        return HandlerResponse::Handled;
    }

    static void serve_asset(const std::string& path, const Request&, Response& res) {
        for (const WebAsset& asset : web_assets()) {
            if (asset.path != path) continue;
            res.set_content(std::string(asset.bytes), std::string(asset.type).c_str());
            // The page is self-contained: nothing may be fetched from elsewhere.
            res.set_header("Content-Security-Policy",
                           "default-src 'self'; img-src 'self' blob: data:; style-src 'self'");
            return;
        }
        res.status = 404;
    }

    std::string limits_json() const {
        return JsonObject()
            .number("max_upload_bytes", static_cast<double>(limits.max_upload_bytes))
            .number("max_pixels", static_cast<double>(limits.max_pixels))
            .number("max_sessions", limits.max_sessions)
            .number("work_slots", limits.work_slots)
            .number("idle_timeout_seconds", static_cast<double>(limits.idle_timeout.count()))
            .number("preview_long_side", kPreviewLongSide)
            .str();
    }

    void no_session(Response& res, const std::string& id) const {
        send_error(res, 404,
                   "no session " + id + ": it was closed, or it expired after " +
                       minutes(limits.idle_timeout) + " without use");
    }

    bool take_slot(Response& res) {
        if (slots.acquire(limits.slot_wait)) return true;
        res.set_header("Retry-After", "2");
        send_error(
            res, 503,
            rkcli::concat("the server is busy: it makes ", std::to_string(limits.work_slots)) +
                " sets of maps at once (reliefkit serve --workers) and none "
                "became free within " +
                minutes(limits.slot_wait) + "; try again");
        return false;
    }

    void upload(const Request& req, Response& res) {
        if (req.is_multipart_form_data()) {
            // The file is the part with a file name, wherever the form puts it.
            const auto file =
                std::find_if(req.files.begin(), req.files.end(),
                             [](const auto& part) { return !part.second.filename.empty(); });
            if (file == req.files.end()) return send_error(res, 400, "the form holds no file");
            return named_session(display_name(file->second.filename), file->second.content, res);
        }
        named_session(display_name(req.get_param_value("name")), req.body, res);
    }

    // A name longer than any file's could not be the photo's as it is called
    // in its folder: cut, the command line shown would name another file. One
    // whose maps' files would be longer names maps the command cannot write.
    void named_session(const std::string& name, const std::string& bytes, Response& res) {
        const size_t longest_map_name =
            rkcli::output_stem(name, false).size() + longest_map_suffix();
        if (name.size() <= kMaxNameLength && longest_map_name <= kMaxNameLength) {
            return create_session(name, bytes, res);
        }
        const std::string too_long = name.size() > kMaxNameLength
                                         ? ""
                                         : ": its maps' files would be named with up to " +
                                               std::to_string(longest_map_name) + " bytes";
        send_error(res, 400,
                   "the photo's name is " + std::to_string(name.size()) + " bytes long" + too_long +
                       ", longer than a file name can be (" + std::to_string(kMaxNameLength) +
                       "): rename it and open it again");
    }

    bool too_large(uint32_t width, uint32_t height, const std::string& name, Response& res) const {
        const uint64_t pixels = uint64_t{width} * height;
        if (pixels <= limits.max_pixels) return false;
        send_error(res, 413,
                   name + " is " + std::to_string(width) + "x" + std::to_string(height) + ", " +
                       std::to_string(pixels) + " pixels; this server takes at most " +
                       std::to_string(limits.max_pixels) + " (reliefkit serve --max-pixels)");
        return true;
    }

    void create_session(const std::string& name, const std::string& bytes, Response& res) {
        const CountOnReturn counted(work_done);
        if (bytes.empty()) {
            return send_error(res, 400,
                              "the upload is empty: send the image file as the request body");
        }
        auto session = std::make_unique<Session>();
        session->name = name;
        {
            if (!take_slot(res)) return;
            const SlotHold hold(slots);
            // A header's claim is judged before the library allocates for it.
            const std::optional<DeclaredSize> declared = declared_size(bytes);
            if (declared && too_large(declared->width, declared->height, name, res)) return;
            Decoded decoded = decode_upload(bytes);
            if (!decoded.image) {
                return send_error(res, unreadable_status(decoded), "cannot read " + name + ":",
                                  decoded.diagnostics);
            }
            session->width = imgbuf_w(decoded.image.get());
            session->height = imgbuf_h(decoded.image.get());
            if (too_large(session->width, session->height, name, res)) return;
            session->preview = preview_copy(decoded.image.get(), std::nullopt);
            if (!session->preview) return send_error(res, 500, "not enough memory for " + name);
        }
        session->upload = bytes;
        // A page reloaded or closed while its photo was read gives up the
        // upload, but a client that only shut its sending side still waits
        // for the answer: both are answered, and the session, unless used,
        // ends soon instead of counting against --max-sessions until idle.
        const bool unclaimed =
            BoundedHttpServer::client_end() != BoundedHttpServer::ClientEnd::open;
        const std::shared_ptr<Session> added = store.add(std::move(session), unclaimed);
        if (!added) {
            return send_error(res, 503,
                              number_of(limits.max_sessions, "session") +
                                  (limits.max_sessions == 1 ? " is" : " are") +
                                  " open, the most this server keeps "
                                  "(reliefkit serve --max-sessions): close a page, or "
                                  "wait until one has been idle for " +
                                  minutes(limits.idle_timeout));
        }
        send_json(res, 201, session_json(*added));
    }

    // The page numbers its preview requests (X-Preview-Order), since they may
    // reach the handlers out of order on separate connections; a client
    // without the header is numbered in order of arrival.
    static uint64_t preview_order(const Request& req, Session& session) {
        const std::string text = req.get_header_value("X-Preview-Order");
        uint64_t order = 0;
        const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), order);
        if (text.empty() || ec != std::errc() || end != text.data() + text.size()) {
            return ++session.latest_request;
        }
        uint64_t seen = session.latest_request;
        while (seen < order && !session.latest_request.compare_exchange_weak(seen, order)) {
        }
        return order;
    }

    void make(const Request& req, Response& res) {
        const CountOnReturn counted(work_done);
        const std::shared_ptr<Session> session = store.find(req.matches[1]);
        if (!session) return no_session(res, req.matches[1]);
        const bool full = req.matches[2] == "full";
        // Options come as a URL-encoded form or in the query: any other body
        // (a multipart form, JSON) would be read as no options at all.
        if (req.is_multipart_form_data() ||
            (!req.body.empty() && !req.get_header_value("Content-Type").starts_with(
                                      "application/x-www-form-urlencoded"))) {
            return send_error(res, 415,
                              "send the options as a URL-encoded form "
                              "(application/x-www-form-urlencoded) or in the query");
        }
        FormArgs form = form_to_args(req.params);
        if (!form.error.empty()) return send_error(res, 400, form.error);
        // The page shows every map, so its command line and Download make them all.
        form.args.insert(form.args.begin(), {"--maps", std::string(kAllMaps)});
        std::vector<std::string_view> argv(form.args.begin(), form.args.end());
        argv.insert(argv.end(), {"--", "photo"});
        rkcli::ParseResult parsed = rkcli::parse_command_line(argv);
        if (parsed.action != rkcli::Action::run) return send_error(res, 400, parsed.error);
        rkcli::Options& options = parsed.options;
        // A resized copy is as large as an upload of that size.
        if (options.resize && too_large(options.resize->width, options.resize->height,
                                        "the size asked for (resize)", res)) {
            return;
        }

        const uint64_t request = full ? 0 : preview_order(req, *session);
        const auto superseded = [&] {
            if (full || request >= session->latest_request) return false;
            send_error(res, 409, "a newer request of this session replaced this one");
            return true;
        };
        if (superseded() || !take_slot(res)) return;
        const SlotHold hold(slots);
        if (superseded()) return;
        rkcli::Image source;
        if (full) {
            Decoded decoded = decode_upload(session->upload);
            if (!decoded.image) {
                return send_error(res, unreadable_status(decoded),
                                  "cannot read " + session->name + ":", decoded.diagnostics);
            }
            source = std::move(decoded.image);
        } else {
            source = preview_copy(session->preview.get(), options.resize);
            options.resize.reset();
            if (!source) return send_error(res, 500, "not enough memory for the preview");
        }
        // Maps of a session closed meanwhile (the page ends its session when
        // it goes), or for a connection broken, would hold the work slot for
        // nobody. A client that has only shut its sending side may still read
        // the answer.
        const auto wanted = [&session = *session] {
            return !session.closed &&
                   BoundedHttpServer::client_end() != BoundedHttpServer::ClientEnd::broken;
        };
        MadeMaps made = full ? make_maps(std::move(source), options, session->name, wanted)
                             : make_preview_maps(std::move(source), options, session->name, wanted);
        // Its idle time counts from now: maps longer in the making than the
        // idle limit are still there to download.
        store.touch(session->id);
        if (!made.failure.empty()) return send_failure(res, 500, made.failure);

        auto stored = std::make_shared<StoredMaps>();
        stored->number = ++maps_made;
        stored->height_png = fitted(std::move(made.height_png));
        stored->normal_png = fitted(std::move(made.normal_png));
        for (size_t i = 0; i < kPageMaps.size(); ++i) {
            stored->material_png[i] = fitted(std::move(made.material_png[i]));
        }
        store.keep(*session, stored);
        const std::string base =
            "/api/sessions/" + session->id + "/maps/" + std::to_string(stored->number);
        std::vector<std::string> args;
        for (const std::string& arg : form.args) args.push_back(json_quote(arg));
        send_json(res, 200,
                  JsonObject()
                      .number("number", static_cast<double>(stored->number))
                      .text("size", full ? "full" : "preview")
                      .text("height", base + "/height.png")
                      .text("normal", base + "/normal.png")
                      .text("ao", base + "/ao.png")
                      .text("curvature", base + "/curvature.png")
                      .text("roughness", base + "/roughness.png")
                      .text("albedo", base + "/albedo.png")
                      .raw("args", json_array(args))
                      .text("command", command_line(form.args, session->name))
                      .raw("normal_encoding", encoding_json(options))
                      .str());
    }

    void download(const Request& req, Response& res) {
        const std::shared_ptr<Session> session = store.find(req.matches[1]);
        if (!session) return no_session(res, req.matches[1]);
        const std::string number_text = req.matches[2];
        uint64_t number = 0;
        std::from_chars(number_text.data(), number_text.data() + number_text.size(), number);
        const std::shared_ptr<const StoredMaps> maps = session->find(number);
        if (!maps) {
            return send_error(res, 404,
                              "the maps " + number_text +
                                  " of this session are gone: a session keeps only its "
                                  "latest few, and the server at most " +
                                  std::to_string(limits.max_stored_map_bytes >> 20) +
                                  " MiB of maps, the oldest going first");
        }
        const std::string which = req.matches[3];
        const std::string* png = which == "height" ? &maps->height_png : &maps->normal_png;
        for (size_t i = 0; i < kPageMaps.size(); ++i) {
            if (which == rkcli::kMapNames[kPageMaps[i]]) png = &maps->material_png[i];
        }
        // Sent from the kept set itself, which the answer holds until it is
        // sent: a copy per download would let slow readers hold memory past
        // the budget of kept maps. The session is held too, and its idle time
        // starts again once the answer is done, sent or not.
        res.set_content_provider(
            png->size(), "image/png",
            [maps, png](size_t offset, size_t length, httplib::DataSink& sink) {
                return sink.write(png->data() + offset, length);
            },
            [this, session](bool) { store.touch(session->id); });
    }

    ServeLimits limits;
    SessionStore store;
    WorkSlots slots;
    std::atomic<uint64_t> maps_made{0};
    std::atomic<uint64_t> work_done{0};  // uploads and sets of maps, to tell when to trim
    std::optional<StartupPhoto> startup;
    bool check_host;
    int port = 0;
    BoundedHttpServer http;

    // Ends idle sessions while no request comes. While no session is left,
    // the memory the C library keeps from the uploads and maps made since the
    // last look (most of it in the arenas of the connection threads) goes back
    // to the system; without that the server stays near its peak while idle.
    std::mutex sweep_mutex;
    std::condition_variable_any sweep_wake;
    std::jthread sweeper = needed_thread("session sweeping", [this](std::stop_token stop) {
        std::unique_lock hold(sweep_mutex);
        uint64_t trimmed_at = 0;
        while (!stop.stop_requested()) {
            sweep_wake.wait_for(hold, stop, std::chrono::seconds(1), [] { return false; });
            const uint64_t work = work_done.load();
            if (store.sweep() == 0 && work != trimmed_at) {
                ::malloc_trim(0);
                trimmed_at = work;
            }
        }
    });
};

ReliefServer::ReliefServer(const ServeLimits& limits, std::optional<StartupPhoto> startup,
                           bool check_host)
    : impl_(std::make_unique<Impl>(limits, std::move(startup), check_host)) {}

ReliefServer::~ReliefServer() = default;

int ReliefServer::bind(const std::string& host, int port) {
    impl_->port = port == 0 ? impl_->http.bind_to_any_port(host)
                            : (impl_->http.bind_to_port(host, port) ? port : -1);
    impl_->http.widen_backlog();
    return impl_->port;
}

bool ReliefServer::run() {
    return impl_->http.listen_after_bind();
}

void ReliefServer::stop() {
    impl_->http.stop_now();
}

std::shared_ptr<void> ReliefServer::hold_work_slot() {
    if (!impl_->slots.acquire(impl_->limits.slot_wait)) return nullptr;
    return std::shared_ptr<void>(nullptr, [impl = impl_.get()](void*) { impl->slots.release(); });
}

unsigned ReliefServer::requests_waiting_for_slot() const {
    return impl_->slots.waiting();
}

}  // namespace rkserve
