// Signatures that the coroutine parameter check must reject (all but the
// last) and one it must accept; never compiled.
rt::Async<Expected<std::string, Error>> by_reference(const std::string& html, float scale);
rt::Async<void> as_view(std::string_view body);
rt::Async<std::optional<GRef<GAsyncResult>>> Page::by_forwarding(CallStart&& start) {
rt::Async<void> by_value_only(std::string html, std::vector<std::string> scripts, void (*done)(void*));
