#include <dirent.h>
#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>
#include <optional>
#include <string>
#include <utility>

#include "cli/CommandLine.h"

namespace {

// The window lives in a library of its own, loaded only when it is asked for: a command that
// draws nothing never loads Qt's widgets, and the window starts as it always did.
void* WindowLibrary() {
    static void* library = [] {
        // Looked for where the program is: beside it in the build tree, in its library folder
        // once installed. By path, not by the run path alone: a dlopen that a sanitizer wraps
        // is not the program's, and does not see its run path.
        constexpr const char* kName = "libkelvotool-window.so";
        std::string folder;
        char self[4096];
        const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
        if (n > 0) {
            folder.assign(self, static_cast<size_t>(n));
            folder.erase(folder.rfind('/') + 1);
        }
        std::string chosen = kName;
        for (const std::string& path :
             {folder + kName, folder + KELVO_PLUGINS_FROM_PROGRAM + "/" + kName}) {
            if (!folder.empty() && ::access(path.c_str(), F_OK) == 0) {
                chosen = path;
                break;
            }
        }
        void* handle = ::dlopen(chosen.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (handle == nullptr)
            std::fprintf(stderr, "kelvotool: %s\n", ::dlerror());
        return handle;
    }();
    return library;
}

// The window library's entry `name`, of type `Entry`; nothing when it cannot be loaded.
template <typename Entry>
Entry WindowEntry(const char* name) {
    void* library = WindowLibrary();
    if (library == nullptr)
        return nullptr;
    auto entry = reinterpret_cast<Entry>(::dlsym(library, name));
    if (entry == nullptr)
        std::fprintf(stderr, "kelvotool: %s\n", ::dlerror());
    return entry;
}

bool Alone() {
    DIR* tasks = ::opendir("/proc/self/task");
    if (tasks == nullptr)
        return true;
    int count = 0;
    while (const dirent* entry = ::readdir(tasks))
        count += entry->d_name[0] != '.';
    ::closedir(tasks);
    return count <= 1;
}

// Qt's pooled threads are detached, so one may still be ending when main returns; a leak checker
// that stops the world at exit has crashed on such a thread. Every thread of ours is joined before
// this, so the wait is for Qt's alone, and bounded.
int Leave(int status) {
    for (int i = 0; i < 1000 && !Alone(); ++i)
        ::usleep(1000);
    return status;
}

}  // namespace

int main(int argc, char* argv[]) {
    if (argc > 1 && kelvo::cli::ForCommandLine(argv[1])) {
        kelvo::cli::SetDrawingMain([](const kelvo::cli::DrawingRequest& request) {
            const auto draw =
                WindowEntry<int (*)(const kelvo::cli::DrawingRequest&)>("kelvo_drawing_main");
            return draw != nullptr ? draw(request) : 1;
        });
        kelvo::cli::SetPictureReader([](const std::string& path, std::string* why) {
            using Read = int (*)(const std::string&, kelvo::GreyPicture&, std::string&);
            const auto read = WindowEntry<Read>("kelvo_read_picture");
            kelvo::GreyPicture picture;
            if (read == nullptr || read(path, picture, *why) != 0)
                return std::optional<kelvo::GreyPicture>();
            return std::optional(std::move(picture));
        });
        return Leave(kelvo::cli::Main(argc, argv));
    }
    const auto window = WindowEntry<int (*)(int, char**)>("kelvo_window_main");
    return Leave(window != nullptr ? window(argc, argv) : 1);
}
