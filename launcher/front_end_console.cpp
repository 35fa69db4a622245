// The console front end: the splash lines go to stdout as they change (red as an ANSI
// colour on a terminal), warnings to stderr as "caption: text".
//
// Colour follows the usual conventions: NO_COLOR turns it off, CLICOLOR_FORCE (not "0")
// turns it on even when stdout is not a terminal.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "launcher/front_end.h"
#include "launcher/splash_lines.h"
#include "platform/thread_sync.h"

namespace qx::frontend {

struct Splash {
    SplashLines lines;
    bool created = false;
    bool visible = false;
    bool colour = false;
};

namespace {

bool WantColour() {
    if (const char* no = std::getenv("NO_COLOR"); no != nullptr && *no != '\0') return false;
    if (const char* force = std::getenv("CLICOLOR_FORCE");
        force != nullptr && *force != '\0' && std::string_view(force) != "0")
        return true;
    return isatty(STDOUT_FILENO) == 1;
}

void Print(const Splash& splash, const SplashLine& line) {
    if (splash.colour && line.colour != kColourBlack) {
        // Red and anything else that is not black: the closest the terminal has.
        const int ansi = line.colour == kColourRed ? 31 : 33;
        std::printf("\033[%dm%s\033[0m\n", ansi, line.text);
    } else {
        std::printf("%s\n", line.text);
    }
    std::fflush(stdout);
}

// A repaint shows a changed line; a hidden splash shows nothing.
void Repaint(Splash* splash, int32_t key) {
    if (!splash->visible) return;
    if (const SplashLine* line = splash->lines.Find(key)) Print(*splash, *line);
}

}  // namespace

Splash* SplashConstruct() {
    return new Splash;
}

void SplashCreate(Splash* splash, void*, int32_t, uint32_t) {
    splash->created = true;
    splash->colour = WantColour();
}

void SplashAddLine(Splash* splash, const char* text, int32_t left, int32_t top, int32_t key,
                   uint32_t colour) {
    splash->lines.Add(text, SplashRect{left, top, left, top}, key, nullptr, colour);
    Repaint(splash, key);
}

int32_t SplashSetLineText(Splash* splash, int32_t key, const char* text, bool repaint) {
    if (!splash->lines.SetText(key, text)) return 0;
    if (repaint) Repaint(splash, key);
    return 1;
}

int32_t SplashSetLineColour(Splash* splash, int32_t key, uint32_t colour, bool repaint) {
    if (!splash->lines.SetColour(key, colour)) return 0;
    if (repaint) Repaint(splash, key);
    return 1;
}

void SplashShow(Splash* splash, uint32_t) {
    // No timer can fire here: the launcher pumps no messages.
    if (!splash->created) return;
    splash->visible = true;
    for (const SplashLine& line : splash->lines) Print(*splash, line);
}

void SplashHide(Splash* splash) {
    splash->visible = false;
}

void SplashClose(Splash* splash) {
    splash->lines.Clear();
    splash->visible = false;
    splash->created = false;
}

void SplashDestroy(Splash* splash) {
    delete splash;
}

void ShowWarning(const char* text, const char* caption) {
    std::fflush(stdout);
    std::fprintf(stderr, "%s: %s\n", caption, text);
    std::fflush(stderr);
}

void Pause(uint32_t milliseconds) {
    platform::SleepMs(milliseconds);
}

}  // namespace qx::frontend
