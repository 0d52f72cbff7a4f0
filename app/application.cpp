/*
 * The process entry and the application class that the UI library drives.
 *
 *   kivo_main --> options parsed (bad ones: exit 2) --> UI library's main
 *     --> moreThanOneInstanceAllowed (early initialisation)
 *     --> initialise: started flag, kernel start-up, kivoapplication,
 *         command line; the loader's ready mark and the headless run are
 *         posted to the message loop
 *     --> message loop runs until a quit is accepted
 *     --> shutdown: timer and MIDI stopped, kivoapplication freed, kernel
 *         shutdown (only when started)
 *
 * Main thread only.
 */
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <juce_gui_basics/juce_gui_basics.h>

#include "app/app_internal.h"
#include "app/headless_internal.h"
#include "app/startup.h"
#include "kivo/kivo.h"
#include "tools/console_internal.h"
#include "tools/post_internal.h"

#ifndef KIVO_VERSION
#define KIVO_VERSION "0.0"
#endif


extern "C" KIVO_INTERNAL void jwind_notifyprocessactive(long active);

namespace kivo::app {
namespace {

// What kivo_main parsed, for the application's initialise.
Options g_options;

void phase2_deferred(void *, t_symbol *, short, t_atom *) { kivo_startup_phase2(); }
void headless_deferred(void *, t_symbol *, short, t_atom *) { headless_begin(); }

// The keyboard modifiers as the system's modifier word: Shift 0x200,
// Option (Alt) 0x800, Control 0x1000. Asked only when a display exists.
long display_modifiers() {
    const juce::ModifierKeys m = juce::ModifierKeys::getCurrentModifiersRealtime();
    long word = 0;
    if (m.isShiftDown()) word |= 0x0200;
    if (m.isAltDown()) word |= 0x0800;
    if (m.isCtrlDown()) word |= 0x1000;
    return word;
}

std::vector<std::string> to_strings(const juce::StringArray &array) {
    std::vector<std::string> out;
    for (const juce::String &s : array) out.push_back(s.toStdString());
    return out;
}

class KivoApplication final : public juce::JUCEApplication, public juce::FocusChangeListener {
public:
    KivoApplication() = default;

    const juce::String getApplicationName() override { return juce::String(sysinfo_appname()); }
    const juce::String getApplicationVersion() override { return "6.0"; }

    bool moreThanOneInstanceAllowed() override {
        // Early initialisation: a process started by the web engine is one
        // of its children and does nothing else.
        if (kivo_cef_isavailable() && kivo_cef_startup() >= 0) childProcess = true;
        return true;
    }

    void initialise(const juce::String &) override {
        if (childProcess) {
            quit();
            return;
        }
        const bool headless = g_options.nogui || !display_available();
        if (!headless) {
            juce::Desktop::getInstance().addFocusChangeListener(this);
            focusListening = true;
            kivo_modifiers_source_set(&display_modifiers);
        }
        // The command-line string: every argument, Kivo's options included.
        const std::vector<std::string> args = to_strings(getCommandLineParameterArray());
        std::string joined;
        for (const std::string &a : args) joined += (joined.empty() ? "" : " ") + a;
        kivo_commandline_set(joined.c_str());

        // Dialogs answer as suppressed from the first start-up file on.
        headless_configure(g_options, headless);
        started = true;
        if (kivo_startup() != 0) {
            quit();
            return;
        }
        // Until a console window exists, posts are written to the standard
        // streams by the console's viewer.
        console = kivo::console::jkivowindow_new();
        if (!console) {
            kivo::post::stdsink_enable(true);
            kivo::post::stdsink_write_early();
        }
        kivoapplication_init();
        ::post("Kivo %s", KIVO_VERSION);
        if (!g_options.nogui && headless) ::post("no display: running without windows, as with --nogui");
        headless_note_failures(commandline_process(g_options.rest, headless));
        // After initialise returns and the loop turns: the loader becomes
        // ready (the queued files open), then the headless run begins.
        defer_low(nullptr, &phase2_deferred, nullptr, 0, nullptr);
        defer_low(nullptr, &headless_deferred, nullptr, 0, nullptr);
    }

    void shutdown() override {
        headless_end();
        kivo_cef_shutdown();
        if (focusListening) juce::Desktop::getInstance().removeFocusChangeListener(this);
        kivo_application_teardown(started ? 1 : 0);
        if (console) {
            kivo::console::jkivowindow_drainall(console);
            kivo::console::jkivowindow_free();
            console = nullptr;
        }
        kivo::post::stdsink_enable(true); // what shutdown itself posts
        if (started) kivo_shutdown();
        std::fflush(stdout);
        std::fflush(stderr);
        setApplicationReturnValue(headless_exit_status());
    }

    void anotherInstanceStarted(const juce::String &commandLine) override {
        Options o = options_parse(to_strings(juce::StringArray::fromTokens(commandLine, true)));
        headless_note_failures(commandline_process(o.rest, headless_active()));
    }

    void systemRequestedQuit() override {
        // The application object decides (windows may refuse).
        if (t_object *app = kivo_getobject())
            object_method(app, gensym("quit"));
        else
            quit();
    }

    void globalFocusChanged(juce::Component *) override {
        const bool front = juce::Process::isForegroundProcess();
        if (front && inactive) {
            inactive = false;
            jwind_notifyprocessactive(1);
        } else if (!front && !inactive) {
            inactive = true;
            jwind_notifyprocessactive(0);
        }
    }

    // The application menu's texts; the UI library has no hook for them on
    // this platform, so the menu bar asks here.
    juce::String getServicesMenuItem() const { return "Services"; }
    juce::String getHideApplicationMenuItem() const { return "Hide " + juce::String(sysinfo_appname()); }
    juce::String getHideOthersMenuItem() const { return "Hide Others"; }
    juce::String getShowAllMenuItem() const { return "Show All"; }
    juce::String getQuitApplicationMenuItem() const { return "Quit " + juce::String(sysinfo_appname()); }

private:
    bool childProcess = false;
    bool started = false;
    bool inactive = false;
    bool focusListening = false;
    t_jkivowindow *console = nullptr;
};

juce::JUCEApplicationBase *create_application() { return new KivoApplication(); }

} // namespace
} // namespace kivo::app

extern "C" int kivo_main(int argc, char **argv) {
    using namespace kivo::app;
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
    g_options = options_parse(args);
    if (!g_options.error.empty()) {
        std::fprintf(stderr, "kivo: %s\n%s", g_options.error.c_str(), options_usage());
        return kExitUsage;
    }
    if (g_options.help) {
        std::fputs(options_usage(), stdout);
        return kExitOk;
    }
    juce::JUCEApplicationBase::createInstance = &create_application;
    return juce::JUCEApplicationBase::main(argc, const_cast<const char **>(argv));
}
