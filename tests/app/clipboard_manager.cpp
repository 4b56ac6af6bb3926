// A minimal desktop clipboard manager for the tests. It owns CLIPBOARD_MANAGER; when
// a program that owns CLIPBOARD asks it to SAVE_TARGETS (as Qt does when it exits),
// it fetches the clipboard's text from that program, takes CLIPBOARD over and serves
// the text itself, so the text can still be pasted after the program has ended.
// Prints "ready" once it owns CLIPBOARD_MANAGER and "saved <bytes>" after each save;
// runs until killed.
#include <xcb/xcb.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {

xcb_connection_t* connection = nullptr;
xcb_window_t window = XCB_NONE;

struct Atoms
{
    xcb_atom_t clipboardManager, saveTargets, clipboard, targets, utf8String, string, text, timestamp, incoming;
} atoms;

xcb_atom_t intern(const char* name)
{
    const auto cookie = xcb_intern_atom(connection, 0, uint16_t(std::strlen(name)), name);
    std::unique_ptr<xcb_intern_atom_reply_t, decltype(&std::free)> reply(
        xcb_intern_atom_reply(connection, cookie, nullptr), &std::free);
    if (!reply) {
        std::fprintf(stderr, "clipboard_manager: cannot intern %s\n", name);
        std::exit(1);
    }
    return reply->atom;
}

xcb_window_t owner(xcb_atom_t selection)
{
    std::unique_ptr<xcb_get_selection_owner_reply_t, decltype(&std::free)> reply(
        xcb_get_selection_owner_reply(connection, xcb_get_selection_owner(connection, selection), nullptr), &std::free);
    return reply ? reply->owner : XCB_NONE;
}

void notify(const xcb_selection_request_event_t& request, xcb_atom_t property)
{
    xcb_selection_notify_event_t event{};
    event.response_type = XCB_SELECTION_NOTIFY;
    event.time = request.time;
    event.requestor = request.requestor;
    event.selection = request.selection;
    event.target = request.target;
    event.property = property;
    xcb_send_event(connection, 0, request.requestor, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char*>(&event));
    xcb_flush(connection);
}

// Asks the owner of CLIPBOARD to convert it to `target` onto our window and waits for
// the answer; other events that arrive meanwhile are kept for later.
std::optional<std::vector<uint8_t>> fetch(xcb_atom_t target, std::vector<xcb_generic_event_t*>& deferred)
{
    xcb_delete_property(connection, window, atoms.incoming);
    xcb_convert_selection(connection, window, atoms.clipboard, target, atoms.incoming, XCB_CURRENT_TIME);
    xcb_flush(connection);
    for (;;) {
        xcb_generic_event_t* event = xcb_wait_for_event(connection);
        if (!event)
            std::exit(1);
        if ((event->response_type & 0x7f) != XCB_SELECTION_NOTIFY) {
            deferred.push_back(event);
            continue;
        }
        const auto* notice = reinterpret_cast<xcb_selection_notify_event_t*>(event);
        const bool refused = notice->property == XCB_NONE;
        std::free(event);
        if (refused)
            return std::nullopt;
        std::unique_ptr<xcb_get_property_reply_t, decltype(&std::free)> reply(
            xcb_get_property_reply(connection,
                                   xcb_get_property(connection, 1, window, atoms.incoming, XCB_GET_PROPERTY_TYPE_ANY, 0,
                                                    1 << 24),
                                   nullptr),
            &std::free);
        if (!reply)
            return std::nullopt;
        const auto* bytes = static_cast<const uint8_t*>(xcb_get_property_value(reply.get()));
        const int length = xcb_get_property_value_length(reply.get());
        return std::vector<uint8_t>(bytes, bytes + length);
    }
}

} // namespace

int main()
{
    connection = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(connection)) {
        std::fprintf(stderr, "clipboard_manager: cannot open the display\n");
        return 1;
    }
    const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(connection)).data;
    window = xcb_generate_id(connection);
    const uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE;
    xcb_create_window(connection, XCB_COPY_FROM_PARENT, window, screen->root, 0, 0, 1, 1, 0,
                      XCB_WINDOW_CLASS_INPUT_ONLY, XCB_COPY_FROM_PARENT, XCB_CW_EVENT_MASK, &mask);
    atoms = {intern("CLIPBOARD_MANAGER"), intern("SAVE_TARGETS"), intern("CLIPBOARD"),
             intern("TARGETS"),           intern("UTF8_STRING"),  intern("STRING"),
             intern("TEXT"),              intern("TIMESTAMP"),    intern("QUENLO_TEST_INCOMING")};

    xcb_set_selection_owner(connection, window, atoms.clipboardManager, XCB_CURRENT_TIME);
    if (owner(atoms.clipboardManager) != window) {
        std::fprintf(stderr, "clipboard_manager: another clipboard manager runs\n");
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);

    std::string saved;
    bool ownsClipboard = false;
    std::vector<xcb_generic_event_t*> deferred;
    for (;;) {
        xcb_generic_event_t* event;
        if (!deferred.empty()) {
            event = deferred.front();
            deferred.erase(deferred.begin());
        } else {
            event = xcb_wait_for_event(connection);
        }
        if (!event)
            return 1;
        const uint8_t type = event->response_type & 0x7f;
        if (type == XCB_SELECTION_CLEAR) {
            if (reinterpret_cast<xcb_selection_clear_event_t*>(event)->selection == atoms.clipboard)
                ownsClipboard = false;
        } else if (type == XCB_SELECTION_REQUEST) {
            const auto request = *reinterpret_cast<xcb_selection_request_event_t*>(event);
            const xcb_atom_t property = request.property == XCB_NONE ? request.target : request.property;
            if (request.selection == atoms.clipboardManager && request.target == atoms.saveTargets) {
                // Text only: the targets are asked for first, as a manager must, and
                // the UTF-8 form fetched when offered.
                bool stored = false;
                if (const auto list = fetch(atoms.targets, deferred)) {
                    const auto* offered = reinterpret_cast<const xcb_atom_t*>(list->data());
                    bool hasUtf8 = false;
                    for (size_t i = 0; i < list->size() / sizeof(xcb_atom_t); ++i)
                        hasUtf8 = hasUtf8 || offered[i] == atoms.utf8String;
                    if (hasUtf8) {
                        if (const auto text = fetch(atoms.utf8String, deferred)) {
                            saved.assign(text->begin(), text->end());
                            stored = true;
                        }
                    }
                }
                if (stored) {
                    xcb_set_selection_owner(connection, window, atoms.clipboard, XCB_CURRENT_TIME);
                    ownsClipboard = owner(atoms.clipboard) == window;
                    std::printf("saved %zu\n", saved.size());
                    std::fflush(stdout);
                }
                xcb_change_property(connection, XCB_PROP_MODE_REPLACE, request.requestor, property, XCB_ATOM_ATOM, 32,
                                    0, nullptr);
                notify(request, stored ? property : XCB_NONE);
            } else if (request.selection == atoms.clipboard && ownsClipboard) {
                if (request.target == atoms.targets) {
                    const xcb_atom_t offered[] = {atoms.targets, atoms.utf8String, atoms.string, atoms.text};
                    xcb_change_property(connection, XCB_PROP_MODE_REPLACE, request.requestor, property, XCB_ATOM_ATOM,
                                        32, 4, offered);
                    notify(request, property);
                } else if (request.target == atoms.utf8String || request.target == atoms.string
                           || request.target == atoms.text) {
                    const xcb_atom_t type = request.target == atoms.string ? atoms.string : atoms.utf8String;
                    xcb_change_property(connection, XCB_PROP_MODE_REPLACE, request.requestor, property, type, 8,
                                        uint32_t(saved.size()), saved.data());
                    notify(request, property);
                } else {
                    notify(request, XCB_NONE);
                }
            } else {
                notify(request, XCB_NONE);
            }
        }
        std::free(event);
    }
}
