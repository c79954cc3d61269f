// kzr_editorgen MODULE OUTDIR: writes the editors' descriptions of the frei0r
// plug-ins from the module's descriptor tables and its English and German
// texts (the language libraries beside MODULE):
//
//   OUTDIR/kdenlive/kzr_<effect>.xml        English, for share/kdenlive/effects
//   OUTDIR/kdenlive-de/kzr_<effect>.xml     German
//   OUTDIR/kdenlive/category.xml            the <group> for Kdenlive's category file
//   OUTDIR/shotcut/kzr_<effect>/meta.qml, ui.qml and vui.qml (effects with a position)
//
// Files whose content is unchanged are left alone.
#include <cstdio>
#include <exception>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "tools/editorgen/editor_model.h"
#include "tools/editorgen/writers.h"

namespace fs = std::filesystem;

namespace {

void Write(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    {
        std::ifstream in(path, std::ios::binary);
        if (in) {
            std::ostringstream old;
            old << in.rdbuf();
            if (old.str() == text)
                return;
        }
    }
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    if (!out)
        throw std::runtime_error("cannot write " + path.string());
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr,
                     "usage: %s MODULE OUTDIR\n"
                     "  MODULE  path of KZR_PlugIn_6.so, with KZR_PlugIn_6_ENU.DLL and "
                     "KZR_PlugIn_6_DEU.DLL beside it\n"
                     "  OUTDIR  folder that receives kdenlive/, kdenlive-de/ and shotcut/\n",
                     argv[0]);
        return 2;
    }
    try {
        const refhost::Module module(argv[1]);
        const editorgen::EditorCatalog catalog = editorgen::ReadCatalog(module);
        const fs::path out = argv[2];
        for (const editorgen::EditorEffect& e : catalog.effects) {
            Write(out / "kdenlive" / (e.plugin + ".xml"), editorgen::KdenliveEffect(e, false));
            Write(out / "kdenlive-de" / (e.plugin + ".xml"), editorgen::KdenliveEffect(e, true));
            const fs::path filter = out / "shotcut" / e.plugin;
            Write(filter / "meta.qml", editorgen::ShotcutMeta(catalog, e));
            Write(filter / "ui.qml", editorgen::ShotcutUi(e));
            if (e.HasPosition())
                Write(filter / "vui.qml", editorgen::ShotcutVui(e));
        }
        Write(out / "kdenlive" / "category.xml", editorgen::KdenliveCategory(catalog, false));
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "kzr_editorgen: %s\n", e.what());
        return 1;
    }
}
