/*
 * The native alert.
 *
 * Invariants:
 * - An alert shows as a window only where one can be answered: a running
 *   application with a display, on its message thread, dialogs not
 *   suppressed (a headless run suppresses them). Everywhere else it is
 *   written to the console and answered with its default button; no alert
 *   is silent and none blocks a run that nobody watches.
 * - Codes: first button 1, second 3, third 2.
 */
#include <cstdlib>
#include <cstring>
#include <string>

#include <juce_gui_basics/juce_gui_basics.h>

#include "kivo/alerts.h"
#include "kivo/post.h"
#include "platform/alert.h"

namespace {

constexpr long kCodes[3] = {1, 3, 2};

bool present(const char *s) { return s && *s; }

// The component whose native window is `view`, to centre the alert on.
juce::Component *component_of(void *view) {
    if (!view) return nullptr;
    for (int i = 0; i < juce::ComponentPeer::getNumPeers(); ++i) {
        juce::ComponentPeer *peer = juce::ComponentPeer::getPeer(i);
        if (peer && peer->getNativeHandle() == view) return &peer->getComponent();
    }
    return nullptr;
}

// An alert that ends without a button: the third button's code when there
// is one, else the second's.
long other_ending(const char *b3) { return present(b3) ? 2 : 3; }

// Escape belongs to the button titled "Cancel" when there is one: without
// it, Escape on a save prompt would answer with the third code, "Don't
// Save", and the user's changes would be lost.
bool is_cancel(const char *title) { return present(title) && std::strcmp(title, "Cancel") == 0; }

long answer_unseen(const char *text, const char *explanation, const char *titles[3],
                   const long enabled[3]) {
    int chosen = -1;
    int count = 0;
    for (int i = 0; i < 3; ++i) {
        if (!present(titles[i])) continue;
        ++count;
        if (chosen < 0 && enabled[i]) chosen = i;
    }
    std::string line = text ? text : "";
    if (present(explanation)) {
        line += line.empty() ? "" : " (";
        line += explanation;
        if (present(text)) line += ")";
    }
    if (count > 1) {
        line += " [answered \"";
        line += chosen >= 0 ? titles[chosen] : "";
        line += "\"]";
    }
    // The text is shown as it stands, never used as a format.
    error("%s", line.c_str());
    return chosen >= 0 ? kCodes[chosen] : other_ending(titles[2]);
}

long answer_shown(void *view, const char *text, const char *explanation,
                  const char *titles[3], const long enabled[3]) {
    juce::AlertWindow w(juce::String::fromUTF8(text ? text : ""),
                        juce::String::fromUTF8(explanation ? explanation : ""),
                        juce::MessageBoxIconType::NoIcon, component_of(view));
    bool first = true;
    for (int i = 0; i < 3; ++i) {
        if (!present(titles[i])) continue;
        juce::KeyPress key = first                ? juce::KeyPress(juce::KeyPress::returnKey)
                             : is_cancel(titles[i]) ? juce::KeyPress(juce::KeyPress::escapeKey)
                                                    : juce::KeyPress();
        w.addButton(juce::String::fromUTF8(titles[i]), static_cast<int>(kCodes[i]), key);
        first = false;
    }
    // The buttons are the window's text-button children, in the order added.
    int index = 0;
    for (juce::Component *child : w.getChildren()) {
        auto *button = dynamic_cast<juce::TextButton *>(child);
        if (!button) continue;
        while (index < 3 && !present(titles[index])) ++index;
        if (index < 3) button->setEnabled(enabled[index] != 0);
        ++index;
    }
    int result = w.runModalLoop();
    return (result == 1 || result == 2 || result == 3) ? result : other_ending(titles[2]);
}

} // namespace

namespace kivo::platform {

bool alert_canshow() {
    if (g_kivo_testing_dialogsuppress) return false;
    if (!juce::JUCEApplicationBase::getInstance()) return false;
    auto *mm = juce::MessageManager::getInstanceWithoutCreating();
    if (!mm || !mm->isThisTheMessageThread()) return false;
    const char *display = std::getenv("DISPLAY");
    if (!display || !*display) return false;
    return juce::Desktop::getInstance().getDisplays().getPrimaryDisplay() != nullptr;
}

} // namespace kivo::platform

extern "C" long cocoa_utils_advise(void *view, const char *text, const char *explanation,
                                   const char *b1, const char *b2, const char *b3,
                                   long enable1, long enable2, long enable3) {
    const char *titles[3] = {present(b1) ? b1 : "OK", b2, b3};
    const long enabled[3] = {enable1, enable2, enable3};
    if (kivo::platform::alert_canshow())
        return answer_shown(view, text, explanation, titles, enabled);
    return answer_unseen(text, explanation, titles, enabled);
}
