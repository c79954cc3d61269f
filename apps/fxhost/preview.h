// fxhost preview: a local web page to try the effects on a picture.  A
// page with the effect list and a control per parameter; the picture it
// shows is rendered by the module for every change and sent as PNG.
#pragma once
#include <ostream>
#include <string>

#include "apps/fxhost/common.h"

namespace fxhost {

struct PreviewOptions {
    std::string input;     // picture to distort; empty: the test card
    std::string size;      // test card size WxH; empty: 960x540
    int port = 0;          // 0: any free port
    std::string language;  // texts of the page; empty: from the locale
    ContextOptions context;
    ReadLimits limits;  // of the input picture; also bounds the renders at once
};

// Serves the page on 127.0.0.1 until Ctrl-C (or SIGTERM), printing its
// address to `out` once it listens.  Throws refhost::Error when the input
// cannot be read or the port cannot be bound.
void Preview(const std::string& modulePath, const PreviewOptions& options, std::ostream& out);

}  // namespace fxhost
