// Shared libraries opened when first needed instead of when the program starts: a library
// with a long tail of dependencies (FFmpeg maps over a hundred) costs memory in every process
// that links it, used or not. Header-only, for the platform and the program alike.
//
// A table of function pointers is filled from a list of names:
//
//     #define MY_FUNCTIONS(X) X(avcodec_open2) X(av_frame_alloc)
//     struct Functions { MY_FUNCTIONS(PLATFORM_LAZY_MEMBER) };
//     LazyLibrary library{PLATFORM_SONAME(avcodec, LIBAVCODEC_VERSION_MAJOR)};
//     #define RESOLVE(name) library.resolve(functions.name, #name);
//     MY_FUNCTIONS(RESOLVE)
//     if (library.failed()) ... library.error() ...
#pragma once

#include <dlfcn.h>

#include <initializer_list>
#include <string>

namespace platform {

// Opens each soname (kept open for the life of the process: objects made by the library may
// outlive any owner we could give them) and finds functions across all of them. Any thread;
// not itself synchronised, so fill a table once (a function-local static does).
class LazyLibrary {
public:
    explicit LazyLibrary(std::initializer_list<const char*> sonames) {
        for (const char* soname : sonames) {
            if (count_ == kMaxHandles)
                break;
            if (!(handles_[count_++] = dlopen(soname, RTLD_NOW | RTLD_LOCAL))) {
                // dlerror() may give no message (a failure it did not record): name the
                // library instead of building a string from a null pointer.
                const char* why = dlerror();
                fail(why ? std::string(why) : std::string("cannot open ") + soname);
                return;
            }
        }
    }

    // The function `name`, or null (and failed()) when no opened library has it.
    void* find(const char* name) {
        if (!error_.empty())
            return nullptr;
        for (int i = 0; i < count_; ++i)
            if (void* symbol = dlsym(handles_[i], name))
                return symbol;
        fail(std::string("no function ") + name);
        return nullptr;
    }

    // Points `slot` at the function `name`; null when it is missing.
    template <class F> void resolve(F*& slot, const char* name) {
        slot = reinterpret_cast<F*>(find(name));
    }

    bool failed() const { return !error_.empty(); }
    // What was missing first: dlopen's message, or the function's name.
    const std::string& error() const { return error_; }

private:
    void fail(const std::string& why) {
        if (error_.empty())
            error_ = why.empty() ? "unknown" : why;
    }

    static constexpr int kMaxHandles = 8;
    void* handles_[kMaxHandles] = {};
    int count_ = 0;
    std::string error_;
};

} // namespace platform

// "lib<name>.so.<major>" for a version macro: the soname a build's headers belong to.
#define PLATFORM_SONAME(name, major) "lib" #name ".so." PLATFORM_SONAME_NUMBER(major)
#define PLATFORM_SONAME_NUMBER(major) #major

// A member of a function table: a pointer of the declared function's own type.
#define PLATFORM_LAZY_MEMBER(name) decltype(&::name) name = nullptr;
