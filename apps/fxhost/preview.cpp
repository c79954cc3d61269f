#include "apps/fxhost/preview.h"

#include <arpa/inet.h>
#include <httplib.h>
#include <malloc.h>
#include <netinet/in.h>
#include <poll.h>
#include <stb_image_write.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

#include "apps/fxhost/image_io.h"
#include "apps/fxhost/interrupt.h"
#include "apps/fxhost/list.h"
#include "apps/fxhost/options.h"
#include "apps/fxhost/preview_page.h"
#include "refhost/catalog.h"
#include "refhost/testcard.h"

namespace fxhost {
namespace {

constexpr Size kDefaultCard = {960, 540};

// Anyone on this machine, and any web page its browser shows, can reach the
// server, so what a request may take is bounded.  Connections are served by
// kWorkers threads with kWaiting more queued; beyond that a connection is
// answered 503 at once.  A request (line, headers and body) must arrive
// within kRequestTime and kRequestBytes, its answer leave within kAnswerTime.
constexpr size_t kWorkers = 16, kWaiting = 32;
constexpr auto kRequestTime = std::chrono::seconds(5);
constexpr size_t kRequestBytes = 32 << 10;
constexpr auto kAnswerTime = std::chrono::seconds(20), kLastSecond = std::chrono::seconds(1);
// A kept-alive connection waits this long for its next request, and carries
// at most kRequestsPerConnection.
constexpr auto kKeepAlive = std::chrono::seconds(2);
constexpr int kRequestsPerConnection = 16;
constexpr int kBacklog = 128;
// The memory a render takes per pixel: the result, the coordinate maps
// (two-map effects), the PNG being encoded.
constexpr uint64_t kRenderBytesPerPixel = 32;

using Clock = std::chrono::steady_clock;

// What the server answers on; anything else is refused.
const std::set<std::string> kPaths = {"/", "/effects.json", "/source.png", "/render.png"};

std::string EncodePng(const Image& image) {
    std::string encoded;
    const auto append = [](void* context, void* data, int size) {
        static_cast<std::string*>(context)->append(static_cast<const char*>(data),
                                                   static_cast<size_t>(size));
    };
    const int w = static_cast<int>(image.width), h = static_cast<int>(image.height);
    if (!stbi_write_png_to_func(append, &encoded, w, h, 4, image.pixels.data(), w * 4))
        throw refhost::Error("cannot encode the picture as PNG");
    return encoded;
}

void Text(httplib::Response& res, int status, const std::string& text) {
    res.status = status;
    res.set_content(text + "\n", "text/plain; charset=utf-8");
}

// A whole plain-text answer, for connections refused before any request was read.
std::string RawAnswer(int status, const char* reason, const std::string& text) {
    return "HTTP/1.1 " + std::to_string(status) + " " + reason +
           "\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Length: " +
           std::to_string(text.size() + 1) + (status == 503 ? "\r\nRetry-After: 1" : "") +
           "\r\nConnection: close\r\n\r\n" + text + "\n";
}

// Why reading a request ended early.
enum class Cut { kNone, kSlow, kLarge, kStopping };

// One client connection: reads buffered, each request within its time and
// size, and every wait cut short when the server stops.
class Connection : public httplib::Stream {
  public:
    Connection(socket_t sock, const std::atomic<bool>& stopping)
        : sock_(sock), stopping_(stopping) {}

    void StartRequest() {
        deadline_ = Clock::now() + kRequestTime;
        received_ = end_ - start_;
        cut_ = Cut::kNone;
        answering_ = false;
    }
    Cut cut() const { return cut_; }
    bool Started() const { return received_ > 0; }
    // After this answer the connection ends: the request was refused as
    // unreadable, and what follows it cannot be trusted to be a request.
    void End() { ending_ = true; }
    bool Ending() const { return ending_; }
    bool Answered() const { return answering_; }
    // Waits up to `timeout` for the first byte of another request.
    bool AwaitRequest(Clock::duration timeout) {
        return start_ < end_ || Wait(POLLIN, Clock::now() + timeout) > 0;
    }

    bool is_readable() const override { return start_ < end_ || Wait(POLLIN, deadline_) > 0; }
    bool is_writable() const override { return Wait(POLLOUT, Clock::now() + kAnswerTime) > 0; }
    ssize_t read(char* ptr, size_t size) override {
        if (start_ == end_ && !Fill())
            return -1;
        const size_t n = std::min(size, end_ - start_);
        std::memcpy(ptr, buffer_ + start_, n);
        start_ += n;
        return static_cast<ssize_t>(n);
    }
    ssize_t write(const char* ptr, size_t size) override {
        if (!answering_)
            answerDeadline_ = Clock::now() + kAnswerTime;
        answering_ = true;
        for (size_t done = 0; done < size;) {
            // Once the server stops, a client has a second more to take it.
            if (stopping_)
                answerDeadline_ = std::min(answerDeadline_, Clock::now() + kLastSecond);
            if (Wait(POLLOUT, answerDeadline_) <= 0)
                return -1;
            const ssize_t n = send(sock_, ptr + done, size - done, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return -1;
            done += static_cast<size_t>(n);
        }
        return static_cast<ssize_t>(size);
    }
    void get_remote_ip_and_port(std::string& ip, int& port) const override {
        Address(getpeername, ip, port);
    }
    void get_local_ip_and_port(std::string& ip, int& port) const override {
        Address(getsockname, ip, port);
    }
    socket_t socket() const override { return sock_; }

  private:
    // 1 when ready, 0 at `until`, -1 on an error, -2 when a read is cut
    // short because the server stops.
    int Wait(short events, Clock::time_point until) const {
        for (;;) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
            if (left.count() <= 0)
                return 0;
            if (events == POLLIN && stopping_)
                return -2;
            pollfd p = {sock_, events, 0};
            const int r = poll(&p, 1, static_cast<int>(std::min<long long>(left.count(), 100)));
            if (r > 0)
                return 1;
            if (r < 0 && errno != EINTR)
                return -1;
        }
    }
    bool Fill() {
        if (received_ >= kRequestBytes) {
            cut_ = Cut::kLarge;
            return false;
        }
        const int ready = Wait(POLLIN, deadline_);
        if (ready <= 0) {
            cut_ = ready == 0 ? Cut::kSlow : ready == -2 ? Cut::kStopping : Cut::kNone;
            return false;
        }
        ssize_t n;
        do
            n = recv(sock_, buffer_, std::min(sizeof buffer_, kRequestBytes - received_), 0);
        while (n < 0 && errno == EINTR);
        if (n <= 0)
            return false;
        start_ = 0;
        end_ = static_cast<size_t>(n);
        received_ += end_;
        return true;
    }
    void Address(int (*get)(int, sockaddr*, socklen_t*), std::string& ip, int& port) const {
        sockaddr_in a{};
        socklen_t length = sizeof a;
        char text[INET_ADDRSTRLEN] = "";
        if (get(sock_, reinterpret_cast<sockaddr*>(&a), &length) == 0 && a.sin_family == AF_INET)
            inet_ntop(AF_INET, &a.sin_addr, text, sizeof text);
        ip = text;
        port = ntohs(a.sin_port);
    }

    socket_t sock_;
    const std::atomic<bool>& stopping_;
    char buffer_[4096];
    size_t start_ = 0, end_ = 0, received_ = 0;
    Clock::time_point deadline_, answerDeadline_;
    Cut cut_ = Cut::kNone;
    bool answering_ = false, ending_ = false;
};

// The connection a worker thread serves, for the error handler; and whether
// the connection at hand is one too many.
thread_local Connection* tConnection = nullptr;
thread_local bool tOverflow = false;

// kWorkers threads and at most kWaiting queued connections; a connection
// beyond those is handed to the server at once on the accepting thread, to
// be refused without reading.
class WorkerPool : public httplib::TaskQueue {
  public:
    WorkerPool() {
        for (size_t i = 0; i < kWorkers; ++i)
            threads_.emplace_back([this] { Work(); });
    }
    void enqueue(std::function<void()> fn) override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (jobs_.size() < kWaiting) {
                jobs_.push_back(std::move(fn));
                ready_.notify_one();
                return;
            }
        }
        tOverflow = true;
        fn();
        tOverflow = false;
    }
    void shutdown() override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        ready_.notify_all();
        for (std::thread& t : threads_)
            t.join();
    }
    bool Waiting() {
        std::lock_guard<std::mutex> lock(mutex_);
        return !jobs_.empty();
    }

  private:
    void Work() {
        for (;;) {
            std::function<void()> fn;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                ready_.wait(lock, [this] { return stop_ || !jobs_.empty(); });
                if (jobs_.empty())
                    return;
                fn = std::move(jobs_.front());
                jobs_.pop_front();
            }
            fn();
        }
    }

    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<std::function<void()>> jobs_;
    std::vector<std::thread> threads_;
    bool stop_ = false;
};

// cpp-httplib's server with connections handled here: through Connection,
// by the bounded WorkerPool, and let go at once when the server stops.
class HttpServer : public httplib::Server {
  public:
    HttpServer() {
        new_task_queue = [this] { return pool_ = new WorkerPool; };
    }
    // A longer queue of connections than cpp-httplib asks for, so a burst is
    // answered (503 where need be) rather than left retrying to connect.
    void Backlog() { ::listen(svr_sock_, kBacklog); }
    void Stop() {
        stopping_ = true;
        stop();
    }

  private:
    bool process_and_close_socket(socket_t sock) override {
        if (tOverflow) {
            const std::string answer =
                RawAnswer(503, "Service Unavailable",
                          "busy: " + std::to_string(kWorkers + kWaiting) +
                              " requests are being served or waiting; try again in a moment");
            Close(sock, answer);
            return true;
        }
        Connection conn(sock, stopping_);
        tConnection = &conn;
        for (int n = 0; n < kRequestsPerConnection && svr_sock_ != INVALID_SOCKET; ++n) {
            if (n > 0 && (pool_->Waiting() || !conn.AwaitRequest(kKeepAlive)))
                break;
            conn.StartRequest();
            bool closed = false;
            const bool last = n + 1 == kRequestsPerConnection || pool_->Waiting();
            const bool ok = process_request(conn, last, closed, nullptr);
            // A request cut short before cpp-httplib could answer it.
            if (!conn.Answered() && conn.Started() && conn.cut() != Cut::kNone) {
                const std::string answer =
                    RawAnswer(CutStatus(conn.cut()), CutReason(conn.cut()), CutText(conn.cut()));
                conn.write(answer.data(), answer.size());
            }
            if (!ok || closed || conn.cut() != Cut::kNone || conn.Ending())
                break;
        }
        tConnection = nullptr;
        Close(sock, "");
        return true;
    }

  public:
    static int CutStatus(Cut cut) {
        return cut == Cut::kSlow ? 408 : cut == Cut::kLarge ? 431 : 503;
    }
    static const char* CutReason(Cut cut) {
        return cut == Cut::kSlow    ? "Request Timeout"
               : cut == Cut::kLarge ? "Request Header Fields Too Large"
                                    : "Service Unavailable";
    }
    static std::string CutText(Cut cut) {
        switch (cut) {
            case Cut::kSlow:
                return "the request did not arrive within " + std::to_string(kRequestTime.count()) +
                       " s";
            case Cut::kLarge:
                return "the request is larger than " + std::to_string(kRequestBytes >> 10) + " KiB";
            case Cut::kStopping:
                return "fxhost preview is stopping";
            default:
                return "";
        }
    }

  private:
    // Sends `answer` if it fits the socket's buffer, reads what the client has
    // sent already (so closing sends an end rather than a reset that could
    // overtake the answer) and closes.
    static void Close(socket_t sock, const std::string& answer) {
        if (!answer.empty())
            send(sock, answer.data(), answer.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        shutdown(sock, SHUT_WR);
        char sink[4096];
        for (int i = 0; i < 16 && recv(sock, sink, sizeof sink, MSG_DONTWAIT) > 0; ++i) {
        }
        close(sock);
    }

    std::atomic<bool> stopping_{false};
    WorkerPool* pool_ = nullptr;
};

// "127.0.0.1", "localhost" or "[::1]", alone or with the server's port: the
// names this server is reached by.  A page whose own name was made to point
// here (DNS rebinding) sends its own name, and is refused.
bool OurHost(std::string host, int port) {
    for (char& c : host)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (const char* name : {"127.0.0.1", "localhost", "[::1]"})
        if (host == name || host == std::string(name) + ":" + std::to_string(port))
            return true;
    return false;
}

class Server {
  public:
    Server(const std::string& modulePath, const PreviewOptions& o)
        : module_(modulePath), texts_(LoadTexts(module_, o.language)), context_(o.context) {
        if (!o.input.empty() && !o.size.empty())
            throw refhost::Error(
                "--size sets the size of the built-in test card; it cannot be used with --input");
        source_ = InputOrTestCard(o.input, o.size, kDefaultCard, o.limits);
        // Checked once here rather than failing every request.
        if (!context_.reference.empty())
            ParseSize(context_.reference, "--ref");
        std::ostringstream json;
        PrintCatalogJson(refhost::Describe(module_, texts_), json);
        catalog_ = json.str();
        sourcePng_ = EncodePng(source_);
        // As many renders at once as fit the memory limit.
        const uint64_t perRender = uint64_t{source_.width} * source_.height * kRenderBytesPerPixel;
        maxMemoryMiB_ = o.limits.maxMemoryMiB;
        renderSlots_ =
            static_cast<int>(std::clamp<uint64_t>((maxMemoryMiB_ << 20) / perRender, 1, kWorkers));
    }

    void Routes(httplib::Server& http, int port) {
        // Requests for another host name, and requests a page of another
        // site makes the browser send, are refused before anything is served.
        http.set_pre_routing_handler([port](const httplib::Request& req, httplib::Response& res) {
            const std::string host = req.get_header_value("Host");
            const std::string us = "http://127.0.0.1:" + std::to_string(port);
            if (!OurHost(host, port)) {
                Text(res, 421,
                     "refused: this is fxhost preview at " + us + ", not '" + host +
                         "'; only 127.0.0.1, localhost and [::1] are answered");
                return httplib::Server::HandlerResponse::Handled;
            }
            const std::string site = req.get_header_value("Sec-Fetch-Site");
            const std::string origin = req.get_header_value("Origin");
            if ((!site.empty() && site != "same-origin" && site != "none") ||
                (!origin.empty() && origin != "http://" + host)) {
                Text(res, 403,
                     "refused: a page of another site (" + (origin.empty() ? site : origin) +
                         ") may not use fxhost preview; open " + us + "/ itself");
                return httplib::Server::HandlerResponse::Handled;
            }
            return httplib::Server::HandlerResponse::Unhandled;
        });
        http.Get("/", [](const httplib::Request&, httplib::Response& res) {
            res.set_content(kPreviewPage, "text/html; charset=utf-8");
        });
        http.Get("/effects.json", [this](const httplib::Request&, httplib::Response& res) {
            res.set_content(catalog_, "application/json");
        });
        http.Get("/source.png", [this](const httplib::Request&, httplib::Response& res) {
            res.set_content(sourcePng_, "image/png");
        });
        http.Get("/render.png", [this](const httplib::Request& req, httplib::Response& res) {
            RenderRequest(req, res);
        });
        const auto refuse = [](const httplib::Request& req, httplib::Response& res) {
            if (kPaths.count(req.path) == 0)
                return Text(res, 404, "no such page: " + req.path);
            res.set_header("Allow", "GET, HEAD");
            Text(res, 405, req.method + " is not served here; " + req.path + " answers GET");
        };
        http.Post(".*", refuse);
        http.Put(".*", refuse);
        http.Patch(".*", refuse);
        http.Delete(".*", refuse);
        http.Options(".*", refuse);
        http.set_payload_max_length(4096);
        // As the connections are kept (the headers cpp-httplib sends say so).
        http.set_keep_alive_timeout(kKeepAlive.count());
        http.set_keep_alive_max_count(kRequestsPerConnection);
        http.set_error_handler([](const httplib::Request& req, httplib::Response& res) {
            if (!res.body.empty())
                return;
            if (res.status != 404 && tConnection != nullptr) {
                res.set_header("Connection", "close");
                tConnection->End();
            }
            // (A body over the limit is skipped until the cut; still 413.)
            const Cut cut = tConnection != nullptr ? tConnection->cut() : Cut::kNone;
            if (cut != Cut::kNone && res.status != 413)
                return Text(res, HttpServer::CutStatus(cut), HttpServer::CutText(cut));
            const std::string served = "served are /, /effects.json, /source.png and /render.png";
            switch (res.status) {
                case 404:
                    return Text(res, 404, "no such page: " + req.path + "; " + served);
                case 400:
                    return Text(res, 400,
                                "the request could not be read: a request line METHOD /PATH "
                                "HTTP/1.1 and header lines NAME: VALUE are expected, each of at "
                                "most 8192 bytes");
                case 413:
                    return Text(res, 413, "requests carry no body here; " + served);
                case 414:
                    return Text(res, 414, "the request line is longer than 8192 bytes");
                default:
                    return Text(
                        res, res.status,
                        "request refused (status " + std::to_string(res.status) + "): " + served);
            }
        });
    }

  private:
    // /render.png?effect=drain&P1=20&P4=0.4,0.5: the source rendered by a new
    // instance with these values, exactly as fxhost render --set does it.
    void RenderRequest(const httplib::Request& req, httplib::Response& res) {
        try {
            if (req.params.count("effect") != 1)
                return Text(res, 400,
                            "name one effect: /render.png?effect=NAME&KEY=VALUE..., such as "
                            "/render.png?effect=drain&P1=20");
            refhost::Instance fx(module_, module_.FindEffect(req.params.find("effect")->second));
            for (const auto& [key, value] : req.params) {
                if (key == "effect")
                    continue;
                if (req.params.count(key) != 1)
                    return Text(res, 400, "parameter " + key + " is given more than once");
                ApplySet(fx, texts_, key + "=" + value);
            }
            ApplyContext(fx, context_);
            // A slot for the render, or 503 when the memory limit has none free.
            if (rendering_.fetch_add(1) >= renderSlots_) {
                rendering_.fetch_sub(1);
                res.set_header("Retry-After", "1");
                return Text(res, 503,
                            "busy: " + std::to_string(renderSlots_) +
                                " pictures are being rendered, the most that fit --max-memory " +
                                std::to_string(maxMemoryMiB_) + " MiB; try again in a moment");
            }
            struct Slot {
                std::atomic<int>& n;
                ~Slot() { n.fetch_sub(1); }
            } slot{rendering_};
            PrepareOrThrow(fx, source_.width, source_.height);
            Image out = source_;
            RenderFrame(fx, source_.pixels, out.pixels);
            res.set_header("Cache-Control", "no-store");
            res.set_content(EncodePng(out), "image/png");
        } catch (const refhost::Error& e) {
            Text(res, 400, e.what());
        }
    }

    refhost::Module module_;
    refhost::Texts texts_;
    ContextOptions context_;
    Image source_;
    std::string catalog_, sourcePng_;
    uint64_t maxMemoryMiB_ = 0;
    int renderSlots_ = 1;
    std::atomic<int> rendering_{0};
};

}  // namespace

void Preview(const std::string& modulePath, const PreviewOptions& options, std::ostream& out) {
    if (options.port < 0 || options.port > 65535)
        throw refhost::Error("--port must be 0 (any free port) to 65535; got " +
                             std::to_string(options.port));
    // The frames, maps and PNGs of a render are mapped and handed back when
    // freed.  With glibc's sliding threshold they would come from the heap of
    // the worker thread that rendered, each of which would keep the largest
    // render it ever served; and the workers share two heaps for the rest.
    mallopt(M_MMAP_THRESHOLD, 256 << 10);
    mallopt(M_ARENA_MAX, 2);
    Server server(modulePath, options);
    HttpServer http;
    // Address reuse (restarting on a port in TIME_WAIT) but no port sharing:
    // a port another server listens on is refused, not shared with it.
    http.set_socket_options([](socket_t sock) {
        int yes = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    const char* host = "127.0.0.1";
    int port = options.port;
    if (port == 0)
        port = http.bind_to_any_port(host);
    else if (!http.bind_to_port(host, port))
        port = -1;
    if (port <= 0)
        throw refhost::Error("cannot listen on " + std::string(host) + ":" +
                             std::to_string(options.port) +
                             (options.port == 0 ? ""
                                                : " (in use?); choose another --port, or 0 "
                                                  "for any free one"));
    http.Backlog();
    server.Routes(http, port);
    // The server runs on threads of its own, which leave Ctrl-C to this one.
    std::atomic<bool> ended{false};
    std::thread listener;
    {
        InterruptsBlocked blocked;
        listener = std::thread([&] {
            http.listen_after_bind();
            ended = true;
        });
    }
    // Announced once it runs, as a stop before that would not reach it.
    while (!http.is_running() && !ended)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    out << "fxhost preview: http://" << host << ":" << port << "/  (Ctrl-C stops)" << std::endl;
    while (!Interrupted() && !ended)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    // Requests being answered are finished; waiting ones are let go.
    http.Stop();
    listener.join();
    out << "fxhost preview: stopped" << std::endl;
}

}  // namespace fxhost
