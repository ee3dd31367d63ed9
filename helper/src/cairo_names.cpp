#include "cairo_names.hpp"

#include <array>
#include <string_view>

namespace qor_webview_helper {

// The names failure messages have always shown, from a fixed list rather
// than from the installed cairo: numbers the list lacks (0, which no failure
// carries, 42, 43, 45 and up) read "Unknown N" even where cairo has a name
// for them, and 44 reads "LastStatus". Parents see these texts in answers,
// so they stay as they are.
std::string cairo_status_name(int status) {
    static constexpr std::array<std::string_view, 42> names = {
        "Success", "No Memory", "Invalid Restore", "Invalid Pop Group", "No Current Point",
        "Invalid Matrix", "Invalid Status", "Null Pointer", "Invalid String", "Invalid Path Data",
        "Cairo : Read Error", "Write Error", "Surface Finished", "Surface Type Mismatch",
        "Pattern Type Mismatch", "Invalid Content", "Invalid Format", "Invalid Visual", "File Not Found",
        "Invalid Dash", "Invalid Dash Comment", "Invalid Index", "Clip Not Representable",
        "Temp File Error", "Invalid Stride", "Font Type Mismatch", "User Font Immutable",
        "User Font Error", "Negative Count", "Invalid Clusters", "Invalid Slant", "Invalid Weight",
        "Invalid Size", "User Font Not Implemented", "Device Type Mismatch", "Device Error",
        "Invalid Mesh Construction", "Device Finished", "JBig2Global Missing", "PNG Error",
        "Freetype Error", "Win32Gdi Error"};
    if (status >= 1 && status < static_cast<int>(names.size())) return std::string(names[status]);
    if (status == 44) return "LastStatus";
    return "Unknown " + std::to_string(status);
}

std::string surface_type_name(int type) {
    static constexpr std::array<std::string_view, 25> names = {
        "Image", "Pdf", "Ps", "Xlib", "Xcb", "Glitz", "Quartz", "Win32", "BeOs", "DirectFb", "Svg", "Os2",
        "Win32Printing", "QuartzImage", "Script", "Qt", "Recording", "Vg", "Gl", "Drm", "Tee", "Xml",
        "Skia", "Subsurface", "Cogl"};
    if (type >= 0 && type < static_cast<int>(names.size())) return std::string(names[type]);
    return "__Unknown(" + std::to_string(type) + ")";
}

}  // namespace qor_webview_helper
