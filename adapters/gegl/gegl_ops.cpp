// The effects of KZR_PlugIn_6 as GEGL operations, kzr:hmirror ... kzr:sshape,
// for GIMP (Tools > GEGL Operation) and the gegl command line.  GEGL loads
// this file from its extension folder and calls gegl_module_register, which
// loads the module (from KZR_GEGL_MODULE_DIR relative to this file's folder,
// the installed layout, or from the parent folder, the build tree), reads its
// tables and texts and registers one filter type per effect.
//
// Each operation asks for its whole input and processes its whole extent in
// one go (region of interest and cached region are the input's bounding
// box), so pictures larger than GEGL's tiles come out without seams and
// equal fxhost render byte for byte.  Pixels are read and written as
// R'G'B'A u8 in the input's colour space, so 8-bit RGBA pictures pass
// without conversion.  Each node keeps one prepared effect instance: it is
// prepared again only when the picture's size changes, and a property
// change rebuilds the effect's maps once, on the next render.
//
// Labels and descriptions are in the language the module picks from the
// locale (LC_ALL, LC_MESSAGES, LANG), as GEGL's own labels follow it.
//
// The file is linked with -z nodelete: GEGL unloads an extension after
// registering its types and loads it again when they are used, and the
// loaded module and the type tables stay in this file's memory.
#include <dlfcn.h>
#include <gegl-plugin.h>
#include <unistd.h>

#include <cstdlib>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "adapters/gegl/gegl_adapter.h"

namespace {

constexpr char kModuleFile[] = "KZR_PlugIn_6.so";
#ifdef KZR_GEGL_MODULE_DIR
constexpr char kModuleDir[] = KZR_GEGL_MODULE_DIR;
#else
constexpr char kModuleDir[] = ".";
#endif
constexpr char kPixelFormat[] = "R'G'B'A u8";

using kzr_gegl::Property;

// What gegl_module_register read; made once and kept for the life of the
// process (GEGL never unregisters types), so nothing here is destroyed.
struct Plugin {
    std::unique_ptr<refhost::Module> module;
    std::vector<kzr_gegl::Operation> operations;
};

// The per-class record: GObject copies it into every class of the type.
struct KzrOpClass {
    GeglOperationFilterClass parent;
    const kzr_gegl::Operation* op;
};

// Everything a node keeps, behind one pointer in the GObject instance.
struct State {
    std::mutex mutex;  // properties are set while another thread may render
    std::vector<double> values;
    std::unique_ptr<kzr_gegl::Renderer> renderer;
    bool warned = false;  // a refused size is reported once per node
};

struct KzrOp {
    GeglOperationFilter parent;
    State* state;
};

GObjectClass* gParentClass = nullptr;

const kzr_gegl::Operation& OpOf(gpointer instance) {
    return *reinterpret_cast<KzrOpClass*>(G_OBJECT_GET_CLASS(instance))->op;
}

State* StateOf(gpointer instance) {
    return reinterpret_cast<KzrOp*>(instance)->state;
}

const Plugin* ThePlugin() {
    static Plugin* plugin = nullptr;
    static std::string failure;
    if (plugin != nullptr || !failure.empty())
        return plugin;
    // The folder of this file, links followed: a link to it in GEGL's user
    // folder (~/.local/share/gegl-0.4/plug-ins) finds the module beside the
    // file it points to.
    Dl_info info;
    std::string folder;
    if (dladdr(reinterpret_cast<const void*>(&ThePlugin), &info) != 0 &&
        info.dli_fname != nullptr) {
        char* real = realpath(info.dli_fname, nullptr);
        folder = real != nullptr ? real : info.dli_fname;
        std::free(real);
        folder.erase(folder.rfind('/') + 1);
    }
    const std::string installed = folder + kModuleDir + "/" + kModuleFile;
    const std::string built = folder + "../" + kModuleFile;
    const std::string& path = access(installed.c_str(), F_OK) == 0 ? installed : built;
    try {
        if (access(path.c_str(), F_OK) != 0)
            throw refhost::Error(std::string(kModuleFile) + " is neither at " + installed +
                                 " nor at " + built);
        auto p = std::make_unique<Plugin>();
        p->module = std::make_unique<refhost::Module>(path);
        refhost::Texts english;
        try {
            english = refhost::Texts::ForLanguage(*p->module, "ENU");
        } catch (const refhost::Error&) {
            // Without the English library the names come from the keys.
        }
        p->operations =
            kzr_gegl::Operations(*p->module, english, refhost::Texts::FromModule(*p->module));
        plugin = p.release();
    } catch (const std::exception& e) {
        failure = e.what();
        g_warning("kzr-effects: no kzr: operations, the effect module could not be used: %s",
                  failure.c_str());
    }
    return plugin;
}

// ---- GObject ------------------------------------------------------------------

void InstanceInit(GTypeInstance* instance, gpointer klass) {
    const kzr_gegl::Operation& op = *reinterpret_cast<KzrOpClass*>(klass)->op;
    auto* self = reinterpret_cast<KzrOp*>(instance);
    try {
        self->state = new State;
        for (const Property& p : op.properties)
            self->state->values.push_back(p.defaultValue);
    } catch (const std::bad_alloc&) {
        delete self->state;
        self->state = nullptr;  // the node passes its input through
    }
}

void Finalize(GObject* object) {
    delete StateOf(object);
    gParentClass->finalize(object);
}

void SetProperty(GObject* object, guint id, const GValue* value, GParamSpec* pspec) {
    const kzr_gegl::Operation& op = OpOf(object);
    State* state = StateOf(object);
    if (id == 0 || id > op.properties.size()) {
        G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec);
        return;
    }
    if (state == nullptr)
        return;
    const Property& p = op.properties[id - 1];
    const double v = p.kind == Property::Kind::kSwitch ? (g_value_get_boolean(value) ? 1.0 : 0.0)
                                                       : g_value_get_double(value);
    std::lock_guard lock(state->mutex);
    state->values[id - 1] = kzr_gegl::Clamp(p, v, state->values[id - 1]);
}

void GetProperty(GObject* object, guint id, GValue* value, GParamSpec* pspec) {
    const kzr_gegl::Operation& op = OpOf(object);
    State* state = StateOf(object);
    if (id == 0 || id > op.properties.size()) {
        G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec);
        return;
    }
    const Property& p = op.properties[id - 1];
    double v = p.defaultValue;
    if (state != nullptr) {
        std::lock_guard lock(state->mutex);
        v = state->values[id - 1];
    }
    if (p.kind == Property::Kind::kSwitch)
        g_value_set_boolean(value, v != 0);
    else
        g_value_set_double(value, v);
}

GParamSpec* ParamSpec(const Property& p) {
    // Values outside the range are clamped to it (G_PARAM_LAX_VALIDATION),
    // not refused, so "degree=1000" on the command line renders Degree 50.
    const auto flags = static_cast<GParamFlags>(G_PARAM_READWRITE | G_PARAM_CONSTRUCT |
                                                G_PARAM_LAX_VALIDATION | GEGL_PARAM_PAD_INPUT);
    if (p.kind == Property::Kind::kSwitch)
        return g_param_spec_boolean(p.name.c_str(), p.label.c_str(), p.description.c_str(),
                                    p.defaultValue != 0, flags);
    GParamSpec* pspec =
        gegl_param_spec_double(p.name.c_str(), p.label.c_str(), p.description.c_str(), p.lo, p.hi,
                               p.defaultValue, p.lo, p.hi, 1.0, flags);
    auto* d = reinterpret_cast<GeglParamSpecDouble*>(pspec);
    gegl_param_spec_double_set_steps(d, p.stepSmall, p.stepBig);
    gegl_param_spec_double_set_digits(d, p.digits);
    if (p.kind != Property::Kind::kNumber) {
        gegl_param_spec_set_property_key(pspec, "unit", "relative-coordinate");
        gegl_param_spec_set_property_key(pspec, "axis",
                                         p.kind == Property::Kind::kPositionX ? "x" : "y");
    }
    return pspec;
}

// ---- GEGL -----------------------------------------------------------------------

void Prepare(GeglOperation* operation) {
    const Babl* space = gegl_operation_get_source_space(operation, "input");
    const Babl* format = babl_format_with_space(kPixelFormat, space);
    gegl_operation_set_format(operation, "input", format);
    gegl_operation_set_format(operation, "output", format);
}

// The effects are global: any output pixel may come from anywhere in the
// input, and any input pixel may change any output pixel.
GeglRectangle WholeInput(GeglOperation* operation, const GeglRectangle* roi) {
    const GeglRectangle* box = gegl_operation_source_get_bounding_box(operation, "input");
    if (box == nullptr || gegl_rectangle_is_infinite_plane(box))
        return *roi;
    return *box;
}

GeglRectangle RequiredForOutput(GeglOperation* operation, const gchar*, const GeglRectangle* roi) {
    return WholeInput(operation, roi);
}

GeglRectangle CachedRegion(GeglOperation* operation, const GeglRectangle* roi) {
    return WholeInput(operation, roi);
}

GeglRectangle InvalidatedByChange(GeglOperation* operation, const gchar*,
                                  const GeglRectangle* roi) {
    return WholeInput(operation, roi);
}

// A rectangle of level 0 at mipmap level `level` (each level halves).
GeglRectangle AtLevel(const GeglRectangle& r, gint level) {
    GeglRectangle out;
    out.x = r.x >> level;
    out.y = r.y >> level;
    out.width = ((r.x + r.width) >> level) - out.x;
    out.height = ((r.y + r.height) >> level) - out.y;
    return out;
}

// Renders the whole input.  At a mipmap level above 0 (GIMP's canvas
// zoomed out) the picture of that level is rendered, so the preview shows
// the effect on the smaller picture; level 0 is exact.
bool RenderWhole(GeglOperation* operation, State& state, GeglBuffer* input, GeglBuffer* output,
                 const GeglRectangle& box, const GeglRectangle& result, gint level) {
    const GeglRectangle whole = AtLevel(box, level);
    GeglRectangle wanted = AtLevel(result, level);
    if (whole.width <= 0 || whole.height <= 0 ||
        !gegl_rectangle_intersect(&wanted, &wanted, &whole))
        return true;
    const Babl* format = gegl_operation_get_format(operation, "output");
    std::lock_guard lock(state.mutex);
    const kzr_gegl::Operation& op = OpOf(operation);
    if (state.renderer == nullptr)
        state.renderer = std::make_unique<kzr_gegl::Renderer>(*ThePlugin()->module, op);
    std::string why;
    if (!state.renderer->Prepare(static_cast<uint32_t>(whole.width),
                                 static_cast<uint32_t>(whole.height), &why)) {
        if (!state.warned)
            g_warning("%s: %s; the picture is passed through unchanged", op.name.c_str(),
                      why.c_str());
        state.warned = true;
        return false;
    }
    const gint stride = whole.width * 4;
    gegl_buffer_get(input, &whole, 1.0 / (1 << level), format, state.renderer->Source(), stride,
                    GEGL_ABYSS_NONE);
    const uint8_t* pixels = state.renderer->Render(state.values.data());
    if (pixels == nullptr)
        return false;
    const size_t offset = (static_cast<size_t>(wanted.y - whole.y) * whole.width +
                           static_cast<size_t>(wanted.x - whole.x)) *
                          4;
    gegl_buffer_set(output, &wanted, level, format, pixels + offset, stride);
    return true;
}

gboolean Process(GeglOperation* operation, GeglBuffer* input, GeglBuffer* output,
                 const GeglRectangle* result, gint level) {
    if (input == nullptr)
        return FALSE;
    const GeglRectangle* box = gegl_operation_source_get_bounding_box(operation, "input");
    State* state = StateOf(operation);
    bool done = false;
    if (box != nullptr && !gegl_rectangle_is_infinite_plane(box) && state != nullptr &&
        ThePlugin() != nullptr) {
        try {
            done = RenderWhole(operation, *state, input, output, *box, *result, level);
        } catch (const std::exception& e) {
            g_warning("%s: %s", OpOf(operation).name.c_str(), e.what());
        }
    }
    if (!done)  // an infinite plane, or a picture the module refused
        gegl_buffer_copy(input, result, GEGL_ABYSS_NONE, output, result);
    return TRUE;
}

void ClassInit(gpointer klass, gpointer data) {
    const auto* op = static_cast<const kzr_gegl::Operation*>(data);
    reinterpret_cast<KzrOpClass*>(klass)->op = op;
    gParentClass = G_OBJECT_CLASS(g_type_class_peek_parent(klass));

    GObjectClass* object = G_OBJECT_CLASS(klass);
    object->set_property = SetProperty;
    object->get_property = GetProperty;
    object->finalize = Finalize;
    for (size_t i = 0; i < op->properties.size(); ++i)
        g_object_class_install_property(object, static_cast<guint>(i + 1),
                                        ParamSpec(op->properties[i]));

    GeglOperationClass* operation = GEGL_OPERATION_CLASS(klass);
    operation->prepare = Prepare;
    operation->get_required_for_output = RequiredForOutput;
    operation->get_cached_region = CachedRegion;
    operation->get_invalidated_by_change = InvalidatedByChange;
    // One call renders the whole picture; the module runs it on TaskCount
    // threads itself.
    operation->threaded = FALSE;
    GEGL_OPERATION_FILTER_CLASS(klass)->process = Process;
    gegl_operation_class_set_keys(operation, "name", op->name.c_str(), "title", op->title.c_str(),
                                  "categories", "distort", "description", op->description.c_str(),
                                  nullptr);
}

const GeglModuleInfo kModuleInfo = {GEGL_MODULE_ABI_VERSION};

}  // namespace

extern "C" {

G_MODULE_EXPORT const GeglModuleInfo* gegl_module_query(GTypeModule*) {
    return &kModuleInfo;
}

G_MODULE_EXPORT gboolean gegl_module_register(GTypeModule* module) {
    const Plugin* plugin = ThePlugin();
    if (plugin == nullptr)
        return TRUE;  // the warning said why; GEGL goes on without these operations
    for (const kzr_gegl::Operation& op : plugin->operations) {
        // A second copy of this file further along GEGL's search path
        // leaves the first one's types alone.
        const GType existing = g_type_from_name(op.typeName.c_str());
        if (existing != 0 && g_type_get_plugin(existing) != G_TYPE_PLUGIN(module))
            continue;
        GTypeInfo info = {};
        info.class_size = sizeof(KzrOpClass);
        info.class_init = ClassInit;
        info.class_data = &op;
        info.instance_size = sizeof(KzrOp);
        info.instance_init = InstanceInit;
        g_type_module_register_type(module, GEGL_TYPE_OPERATION_FILTER, op.typeName.c_str(), &info,
                                    static_cast<GTypeFlags>(0));
    }
    return TRUE;
}

}  // extern "C"
