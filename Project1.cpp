#include <dlfcn.h>

#include <cstdio>
#include <string>

#include "cli/CommandLine.h"

namespace {

// The window lives in a library of its own, loaded only when it is asked for: a command that
// draws nothing never loads Qt's widgets, and the window starts as it always did.
void* WindowLibrary() {
    static void* library = [] {
        // Found by the program's run path: beside it in the build tree, in the program's
        // library folder once installed.
        void* handle = ::dlopen("libkelvotool-window.so", RTLD_NOW | RTLD_LOCAL);
        if (handle == nullptr)
            std::fprintf(stderr, "kelvotool: %s\n", ::dlerror());
        return handle;
    }();
    return library;
}

int RunFromWindowLibrary(const char* entry, int argc, char** argv) {
    void* library = WindowLibrary();
    if (library == nullptr)
        return 1;
    auto main = reinterpret_cast<int (*)(int, char**)>(::dlsym(library, entry));
    if (main == nullptr) {
        std::fprintf(stderr, "kelvotool: %s\n", ::dlerror());
        return 1;
    }
    return main(argc, argv);
}

}  // namespace

int main(int argc, char* argv[]) {
    if (argc > 1 && kelvo::cli::IsCommand(argv[1])) {
        kelvo::cli::SetDrawingMain([](int n, char** words) {
            return RunFromWindowLibrary("kelvo_drawing_main", n, words);
        });
        return kelvo::cli::Main(argc, argv);
    }
    return RunFromWindowLibrary("kelvo_window_main", argc, argv);
}
