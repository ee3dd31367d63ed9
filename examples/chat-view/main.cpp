// qor_webview_chat_view: a chat timeline in a GTK 4 list view, every entry a
// picture of HTML rendered by the helper through the asynchronous pool.
//
//     qor_webview_chat_view [--helper PATH] [--examples DIR] [--screenshot FILE]
//
// The view runs in its own process; the helper runs GTK 3 and WebKit in
// another, so the two toolkits never share one.
#include <gtk/gtk.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "qor_webview/glib.hpp"
#include "qor_webview/pool.hpp"
#include "schedule.hpp"

namespace {

constexpr int entry_count = 300;
constexpr double placeholder_height = 120;  // until an entry's height is known
constexpr unsigned resize_delay_ms = 150;   // a window being dragged wider is rendered once it rests

template <class T>
struct Unref {
    void operator()(T* object) const { g_object_unref(object); }
};
template <class T>
using Ref = std::unique_ptr<T, Unref<T>>;

// An entry as rendered: its bands as textures of device pixels, drawn at
// their CSS size.
struct Picture {
    double width = 0;
    int scale = 0;
    struct Band {
        double top = 0, height = 0;
        Ref<GdkTexture> texture;
    };
    std::vector<Band> bands;
    std::vector<qor_webview::LinkArea> links;
};

struct Request {
    qor_webview::CallHandle call;
    double width = 0;
    int scale = 0;
    int priority = 0;
};

struct Entry {
    double height = 0;               // as last rendered, 0 until then
    std::optional<Picture> picture;  // dropped when far away
    std::optional<Request> request;
    std::optional<std::pair<double, int>> failed_at;  // width and scale that failed
    GtkWidget* row = nullptr;                          // the row showing it, while bound
};

struct View {
    Ref<GtkStringList> model;  // the entries' HTML
    std::vector<Entry> entries;
    GtkWidget* window = nullptr;
    GtkWidget* scroller = nullptr;
    double width = 0;            // the width entries are rendered at
    double allocated_width = 0;  // the rows' width now
    int scale = 1;
    std::size_t first_visible = 0;
    bool upward = false;  // the direction the visible rows last moved in
    guint update_source = 0;
    guint resize_source = 0;
    std::string screenshot;  // the file to write, in --screenshot mode
    std::string last_error;  // a helper that cannot start fails every call alike: said once
    int status = 0;
    // The attachment is declared after the pool, so that it goes first.
    std::optional<qor_webview::Pool> pool;
    std::optional<qor_webview::glib::Attachment> attachment;

    bool current(const Entry& e) const {
        return e.picture && e.picture->width == width && e.picture->scale == scale;
    }
};

void schedule_update(View& view);

// ------------------------------------------------------------------ a row

// One entry's row: as tall as the entry, drawing its bands, a hand over its
// links.
struct ChatRow {
    GtkWidget parent;
    View* view;
    std::size_t entry;
};
struct ChatRowClass {
    GtkWidgetClass parent_class;
};
G_DEFINE_TYPE(ChatRow, chat_row, GTK_TYPE_WIDGET)

Entry* row_entry(GtkWidget* widget) {
    auto* row = reinterpret_cast<ChatRow*>(widget);
    if (row->view == nullptr || row->view->entries[row->entry].row != widget) return nullptr;
    return &row->view->entries[row->entry];
}

const char* link_at(GtkWidget* widget, double x, double y) {
    const Entry* e = row_entry(widget);
    if (e == nullptr || !e->picture) return nullptr;
    for (const auto& link : e->picture->links) {
        if (x >= link.left && x < link.left + link.width && y >= link.top && y < link.top + link.height)
            return link.href.c_str();
    }
    return nullptr;
}

void chat_row_measure(GtkWidget* widget, GtkOrientation orientation, int, int* minimum, int* natural, int*, int*) {
    *minimum = *natural = 0;
    if (orientation == GTK_ORIENTATION_HORIZONTAL) return;  // takes the width it is given
    const Entry* e = row_entry(widget);
    *minimum = *natural = static_cast<int>(std::ceil(e != nullptr && e->height > 0 ? e->height : placeholder_height));
}

void chat_row_size_allocate(GtkWidget* widget, int width, int, int) {
    auto* row = reinterpret_cast<ChatRow*>(widget);
    if (row->view != nullptr && width != row->view->allocated_width) {
        row->view->allocated_width = width;
        schedule_update(*row->view);
    }
}

void chat_row_snapshot(GtkWidget* widget, GtkSnapshot* snapshot) {
    const Entry* e = row_entry(widget);
    if (e != nullptr && e->picture) {
        for (const auto& band : e->picture->bands) {
            const auto area = GRAPHENE_RECT_INIT(0, static_cast<float>(band.top), static_cast<float>(e->picture->width),
                                                 static_cast<float>(band.height));
            gtk_snapshot_append_texture(snapshot, band.texture.get(), &area);
        }
        return;
    }
    const GdkRGBA grey = {0.5f, 0.5f, 0.5f, 0.12f};
    const auto area = GRAPHENE_RECT_INIT(12, 8, std::max(0.0f, static_cast<float>(gtk_widget_get_width(widget)) - 24),
                                         std::max(0.0f, static_cast<float>(gtk_widget_get_height(widget)) - 16));
    gtk_snapshot_append_color(snapshot, &grey, &area);
}

void chat_row_class_init(ChatRowClass* klass) {
    auto* widget_class = GTK_WIDGET_CLASS(klass);
    widget_class->measure = chat_row_measure;
    widget_class->size_allocate = chat_row_size_allocate;
    widget_class->snapshot = chat_row_snapshot;
}

void on_motion(GtkEventControllerMotion* motion, double x, double y, gpointer) {
    GtkWidget* widget = gtk_event_controller_get_widget(GTK_EVENT_CONTROLLER(motion));
    gtk_widget_set_cursor_from_name(widget, link_at(widget, x, y) != nullptr ? "pointer" : nullptr);
}

void on_click(GtkGestureClick* click, int, double x, double y, gpointer) {
    GtkWidget* widget = gtk_event_controller_get_widget(GTK_EVENT_CONTROLLER(click));
    if (const char* href = link_at(widget, x, y)) {
        std::printf("%s\n", href);
        std::fflush(stdout);
    }
}

void chat_row_init(ChatRow* row) {
    auto* widget = GTK_WIDGET(row);
    gtk_widget_set_overflow(widget, GTK_OVERFLOW_HIDDEN);  // a wider picture from before a resize
    GtkEventController* motion = gtk_event_controller_motion_new();
    g_signal_connect(motion, "enter", G_CALLBACK(on_motion), nullptr);
    g_signal_connect(motion, "motion", G_CALLBACK(on_motion), nullptr);
    gtk_widget_add_controller(widget, motion);
    GtkGesture* click = gtk_gesture_click_new();
    g_signal_connect(click, "released", G_CALLBACK(on_click), nullptr);
    gtk_widget_add_controller(widget, GTK_EVENT_CONTROLLER(click));
}

// ---------------------------------------------------------- the list view

void on_setup(GtkSignalListItemFactory*, GtkListItem* item, gpointer) {
    gtk_list_item_set_activatable(item, FALSE);
    gtk_list_item_set_child(item, GTK_WIDGET(g_object_new(chat_row_get_type(), nullptr)));
}

void on_bind(GtkSignalListItemFactory*, GtkListItem* item, gpointer data) {
    auto& view = *static_cast<View*>(data);
    auto* row = reinterpret_cast<ChatRow*>(gtk_list_item_get_child(item));
    row->view = &view;
    row->entry = gtk_list_item_get_position(item);
    view.entries[row->entry].row = GTK_WIDGET(row);
    gtk_widget_queue_resize(GTK_WIDGET(row));
    schedule_update(view);
}

void on_unbind(GtkSignalListItemFactory*, GtkListItem* item, gpointer data) {
    auto& view = *static_cast<View*>(data);
    auto* row = reinterpret_cast<ChatRow*>(gtk_list_item_get_child(item));
    if (view.entries[row->entry].row == GTK_WIDGET(row)) view.entries[row->entry].row = nullptr;
    gtk_widget_set_cursor(GTK_WIDGET(row), nullptr);
    schedule_update(view);
}

// --------------------------------------------------------------- rendering

void finish(View& view, int status) {
    view.status = status;
    g_application_quit(g_application_get_default());
}

void on_rendered(View& view, std::size_t i, double width, int scale, qor_webview::Expected<qor_webview::LogPicture, qor_webview::Error> log) {
    Entry& e = view.entries[i];
    e.request.reset();
    if (!log) {
        if (log.error().text() != view.last_error) g_printerr("entry %zu: %s\n", i, log.error().text().c_str());
        view.last_error = log.error().text();
        e.failed_at = {width, scale};
        if (!view.screenshot.empty()) finish(view, 1);
        return;
    }
    Picture picture{width, scale, {}, {}};
    for (const auto& band : log->bands) {
        g_autoptr(GBytes) bytes = g_bytes_new(band.png.data(), band.png.size());
        g_autoptr(GError) error = nullptr;
        Ref<GdkTexture> texture(gdk_texture_new_from_bytes(bytes, &error));
        if (!texture) {
            g_printerr("entry %zu: unreadable band: %s\n", i, error->message);
            e.failed_at = {width, scale};
            if (!view.screenshot.empty()) finish(view, 1);
            return;
        }
        picture.bands.push_back({band.top, band.height, std::move(texture)});
    }
    if (auto links = qor_webview::parse_links(log->links)) picture.links = std::move(*links);
    e.height = log->height;
    e.picture = std::move(picture);
    if (e.row != nullptr) gtk_widget_queue_resize(e.row);
    schedule_update(view);
}

// Asks for entry `i` at the view's width and scale, unless it is there or
// on its way; a request still waiting in the pool with a lower priority is
// moved up to the new one.
void request(View& view, std::size_t i, int priority) {
    Entry& e = view.entries[i];
    const auto wanted = std::pair(view.width, view.scale);
    if (view.current(e) || e.failed_at == wanted) return;
    if (e.request) {
        const bool same = std::pair(e.request->width, e.request->scale) == wanted;
        if (same && (e.request->priority >= priority || e.request->call.written())) return;
        if (same && e.request->call.set_priority(priority)) {
            e.request->priority = priority;
            return;
        }
        e.request->call.cancel();
    }
    const char* html = gtk_string_list_get_string(view.model.get(), static_cast<guint>(i));
    qor_webview::CallOptions options;
    options.priority = priority;
    auto call = view.pool->render_log_async(
        html, static_cast<float>(view.width), static_cast<float>(view.scale),
        [&view, i, wanted](auto log) { on_rendered(view, i, wanted.first, wanted.second, std::move(log)); }, options);
    e.request = Request{std::move(call), view.width, view.scale, priority};
}

bool screen_is_ready(const View& view, const chat_view::Plan& plan) {
    if (plan.visible == 0) return false;
    for (std::size_t k = 0; k < plan.visible; ++k) {
        const Entry& e = view.entries[plan.order[k]];
        if (!view.current(e) || e.row == nullptr) return false;
        if (gtk_widget_get_height(e.row) != static_cast<int>(std::ceil(e.height))) return false;  // not laid out yet
    }
    return true;
}

// The window's contents as the renderer draws them, at the scale factor.
bool save_screenshot(View& view) {
    GtkWidget* window = view.window;
    const int width = gtk_widget_get_width(window), height = gtk_widget_get_height(window);
    const int scale = gtk_widget_get_scale_factor(window);
    g_autoptr(GdkPaintable) paintable = gtk_widget_paintable_new(window);
    GtkSnapshot* snapshot = gtk_snapshot_new();
    gtk_snapshot_scale(snapshot, static_cast<float>(scale), static_cast<float>(scale));
    gdk_paintable_snapshot(paintable, snapshot, width, height);
    g_autoptr(GskRenderNode) node = gtk_snapshot_free_to_node(snapshot);
    if (node == nullptr) return false;
    const auto viewport = GRAPHENE_RECT_INIT(0, 0, static_cast<float>(width * scale), static_cast<float>(height * scale));
    g_autoptr(GdkTexture) texture =
        gsk_renderer_render_texture(gtk_native_get_renderer(GTK_NATIVE(window)), node, &viewport);
    return gdk_texture_save_to_png(texture, view.screenshot.c_str());
}

// Finds the rows on screen, then asks for what they need, cancels what is
// far away and lets go of its pictures.
void update(View& view) {
    if (view.width == 0) view.width = view.allocated_width;
    if (view.width == 0) return;  // not laid out yet
    const int scale = gtk_widget_get_scale_factor(view.scroller);
    // Known only once the window is shown: helpers started later warm
    // their page for it before they take work.
    if (scale != view.scale) view.pool->warm_up(static_cast<float>(scale));
    view.scale = scale;

    const double screen = gtk_widget_get_height(view.scroller);
    std::size_t first = view.entries.size(), last = 0;
    std::vector<double> heights(view.entries.size());
    for (std::size_t i = 0; i < view.entries.size(); ++i) {
        const Entry& e = view.entries[i];
        heights[i] = e.height > 0 ? e.height : placeholder_height;
        double x = 0, y = 0;
        if (e.row == nullptr || !gtk_widget_get_mapped(e.row) ||
            !gtk_widget_translate_coordinates(e.row, view.scroller, 0, 0, &x, &y))
            continue;
        const int h = gtk_widget_get_height(e.row);
        if (h > 0 && y < screen && y + h > 0) {
            first = std::min(first, i);
            last = std::max(last, i + 1);
        }
    }
    if (first >= last) return;  // rows not placed yet: their allocation brings us back
    // Not from the scroll position, which the list view also moves when the
    // heights of rows above change.
    if (first != view.first_visible) view.upward = first < view.first_visible;
    view.first_visible = first;

    const auto plan = chat_view::plan(heights, first, last, screen, view.upward);
    for (std::size_t i = 0; i < view.entries.size(); ++i) {
        if (i >= plan.keep_first && i < plan.keep_last) continue;
        Entry& e = view.entries[i];
        if (e.request) e.request->call.cancel();
        e.request.reset();
        e.picture.reset();  // the height stays, for the placeholder
    }
    for (std::size_t k = 0; k < plan.order.size(); ++k) request(view, plan.order[k], k < plan.visible ? 1 : 0);

    if (!view.screenshot.empty() && screen_is_ready(view, plan)) {
        if (!save_screenshot(view)) {
            g_printerr("cannot write %s\n", view.screenshot.c_str());
            return finish(view, 1);
        }
        view.screenshot.clear();  // once
        finish(view, 0);
    }
}

void schedule_update(View& view) {
    if (view.allocated_width != view.width && view.width != 0 && view.resize_source == 0) {
        view.resize_source = g_timeout_add_once(resize_delay_ms, [](gpointer data) {
            auto& v = *static_cast<View*>(data);
            v.resize_source = 0;
            v.width = v.allocated_width;
            schedule_update(v);
        }, &view);
    }
    if (view.update_source != 0) return;
    // After layout and drawing, so that rows have their places.
    view.update_source = g_idle_add_once([](gpointer data) {
        auto& v = *static_cast<View*>(data);
        v.update_source = 0;
        update(v);
    }, &view);
}

// ----------------------------------------------------------- the timeline

// A few hundred entries from the example files, each with its number and
// time so that no two look alike.
std::vector<std::string> timeline(const std::string& folder) {
    std::vector<std::filesystem::path> files;
    std::error_code ec;
    for (const auto& item : std::filesystem::directory_iterator(folder, ec)) {
        if (item.path().extension() == ".html") files.push_back(item.path());
    }
    std::sort(files.begin(), files.end());
    std::vector<std::string> examples;
    for (const auto& file : files) {
        std::ostringstream text;
        text << std::ifstream(file).rdbuf();
        examples.push_back(text.str());
    }
    std::vector<std::string> entries;
    if (examples.empty()) return entries;
    for (int i = 0; i < entry_count; ++i) {
        std::string html = examples[static_cast<std::size_t>(i) % examples.size()];
        char stamp[160];
        std::snprintf(stamp, sizeof stamp,
                      "<div style=\"font: 11px 'DejaVu Sans', sans-serif; color: #8c959f\">#%d &middot; %02d:%02d</div>",
                      i + 1, 9 + i * 3 / 60 % 15, i * 3 % 60);
        const auto body = html.find("<body>");
        html.insert(body == std::string::npos ? 0 : body + 6, stamp);
        entries.push_back(std::move(html));
    }
    return entries;
}

void on_activate(GtkApplication* app, gpointer data) {
    auto& view = *static_cast<View*>(data);
    view.window = gtk_application_window_new(app);
    gtk_window_set_title(GTK_WINDOW(view.window), "qor_webview chat view");
    gtk_window_set_default_size(GTK_WINDOW(view.window), 600, 500);  // twice that fits the tests' 1280x1024 screen

    GtkListItemFactory* factory = gtk_signal_list_item_factory_new();
    g_signal_connect(factory, "setup", G_CALLBACK(on_setup), &view);
    g_signal_connect(factory, "bind", G_CALLBACK(on_bind), &view);
    g_signal_connect(factory, "unbind", G_CALLBACK(on_unbind), &view);
    // The list view takes the selection model and the factory, the selection its own reference to the model.
    auto* selection = gtk_no_selection_new(G_LIST_MODEL(g_object_ref(view.model.get())));
    GtkWidget* list = gtk_list_view_new(GTK_SELECTION_MODEL(selection), factory);
    gtk_list_view_set_show_separators(GTK_LIST_VIEW(list), TRUE);

    view.scroller = gtk_scrolled_window_new();
    gtk_scrolled_window_set_policy(GTK_SCROLLED_WINDOW(view.scroller), GTK_POLICY_NEVER, GTK_POLICY_AUTOMATIC);
    gtk_scrolled_window_set_child(GTK_SCROLLED_WINDOW(view.scroller), list);
    GtkAdjustment* adjustment = gtk_scrolled_window_get_vadjustment(GTK_SCROLLED_WINDOW(view.scroller));
    const auto changed = G_CALLBACK(+[](View* v) { schedule_update(*v); });
    g_signal_connect_swapped(adjustment, "value-changed", changed, &view);
    g_signal_connect_swapped(view.window, "notify::scale-factor", changed, &view);
    gtk_window_set_child(GTK_WINDOW(view.window), view.scroller);
    gtk_window_present(GTK_WINDOW(view.window));
}

int usage(const char* error) {
    if (error != nullptr) std::fprintf(stderr, "qor_webview_chat_view: %s\n", error);
    std::fprintf(error != nullptr ? stderr : stdout,
                 "usage: qor_webview_chat_view [--helper PATH] [--examples DIR] [--screenshot FILE]\n"
                 "  --helper PATH      the helper executable (default: the one installed with the library)\n"
                 "  --examples DIR     the HTML entries the timeline is made of (default: %s)\n"
                 "  --screenshot FILE  render the first screen, write it to FILE as PNG and exit\n"
                 "A click on a link prints its address on standard output.\n",
                 QOR_CHAT_VIEW_EXAMPLES);
    return error != nullptr ? 2 : 0;
}

}  // namespace

int main(int argc, char** argv) {
    View view;
    qor_webview::PoolOptions options;
    std::string examples = QOR_CHAT_VIEW_EXAMPLES;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "-h" || arg == "--help") return usage(nullptr);
        if (i + 1 >= argc) return usage(("unknown option or missing value: " + std::string(arg)).c_str());
        if (arg == "--helper")
            options.client.helper = argv[++i];
        else if (arg == "--examples")
            examples = argv[++i];
        else if (arg == "--screenshot")
            view.screenshot = argv[++i];
        else
            return usage(("unknown option: " + std::string(arg)).c_str());
    }
    auto entries = timeline(examples);
    if (entries.empty()) return usage(("no .html files in " + examples).c_str());
    // Helpers warm up with an entry of our own, so the first screen finds
    // the faces and symbols our entries use already loaded.
    options.warm_entry = entries.front();

    g_autoptr(GtkApplication) app = gtk_application_new(nullptr, G_APPLICATION_NON_UNIQUE);
    // GTK starts in g_application_run; the helpers' start-up overlaps with it.
    auto pool = qor_webview::Pool::start(std::move(options));
    if (!pool) {
        std::fprintf(stderr, "qor_webview_chat_view: %s\n", pool.error().text().c_str());
        return 1;
    }
    view.pool.emplace(std::move(*pool));
    view.attachment.emplace(*view.pool);

    view.model.reset(gtk_string_list_new(nullptr));
    for (const auto& html : entries) gtk_string_list_append(view.model.get(), html.c_str());
    view.entries.resize(entries.size());

    g_signal_connect(app, "activate", G_CALLBACK(on_activate), &view);
    const int status = g_application_run(G_APPLICATION(app), 1, argv);
    if (view.update_source != 0) g_source_remove(view.update_source);
    if (view.resize_source != 0) g_source_remove(view.resize_source);
    return status != 0 ? status : view.status;
}
