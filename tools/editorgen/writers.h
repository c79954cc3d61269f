// The files the editors read, as text: a Kdenlive effect description per
// plug-in, the Kdenlive category of all of them, and a Shotcut filter per
// plug-in (meta.qml, ui.qml and, for effects with a position, vui.qml with
// a point to drag on the video).
#pragma once
#include <string>

#include "tools/editorgen/editor_model.h"

namespace editorgen {

// Kdenlive's <effect> description, in English or German.  A number is an
// animated (keyframable) slider showing frei0r value * factor, with the
// adapter's scale as the factor: the parameter's own value in its range.
std::string KdenliveEffect(const EditorEffect& e, bool german);
// A <group> of Kdenlive's effect category file listing every plug-in.
std::string KdenliveCategory(const EditorCatalog& c, bool german);

// Shotcut's filter metadata, its panel and, when HasPosition(), the
// on-video control.  Texts switch to German when the locale is German.
std::string ShotcutMeta(const EditorCatalog& c, const EditorEffect& e);
std::string ShotcutUi(const EditorEffect& e);
std::string ShotcutVui(const EditorEffect& e);

std::string XmlEscape(const std::string& s);
std::string QmlString(const std::string& s);  // a single-quoted QML string literal

}  // namespace editorgen
