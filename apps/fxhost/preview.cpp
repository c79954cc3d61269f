#include "apps/fxhost/preview.h"

#include <httplib.h>
#include <stb_image_write.h>

#include <atomic>
#include <chrono>
#include <set>
#include <sstream>
#include <thread>

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
    }

    void Routes(httplib::Server& http) {
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
        http.set_error_handler([](const httplib::Request& req, httplib::Response& res) {
            if (!res.body.empty())
                return;
            if (res.status == 404)
                Text(res, 404,
                     "no such page: " + req.path +
                         "; served are /, /effects.json, /source.png and /render.png");
            else
                Text(res, res.status,
                     "request refused (status " + std::to_string(res.status) +
                         "): served are GET /, /effects.json, /source.png and /render.png");
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
};

}  // namespace

void Preview(const std::string& modulePath, const PreviewOptions& options, std::ostream& out) {
    if (options.port < 0 || options.port > 65535)
        throw refhost::Error("--port must be 0 (any free port) to 65535; got " +
                             std::to_string(options.port));
    Server server(modulePath, options);
    httplib::Server http;
    // Address reuse (restarting on a port in TIME_WAIT) but no port sharing:
    // a port another server listens on is refused, not shared with it.
    http.set_socket_options([](socket_t sock) {
        int yes = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    server.Routes(http);
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
    // The server runs on its own threads; this one waits for Ctrl-C.
    std::atomic<bool> ended{false};
    std::thread listener([&] {
        http.listen_after_bind();
        ended = true;
    });
    out << "fxhost preview: http://" << host << ":" << port << "/  (Ctrl-C stops)" << std::endl;
    while (!Interrupted() && !ended)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    http.stop();
    listener.join();
    out << "fxhost preview: stopped" << std::endl;
}

}  // namespace fxhost
