// Owning holders for GLib references, GLib-allocated memory, GErrors and file descriptors, so that
// every early return releases what it holds and nothing is released by hand.
//
//   GRef<SoupMessage> message = adoptRef(soup_message_new(...)); // takes the returned reference
//   GRef<GObject> kept = retainRef(borrowed);                    // adds a reference of its own
//   GOwned<char> text(g_strdup_printf(...));                     // g_free'd
//   GErrorHolder error; call(..., error.out()); if (error) ... error->message
//   UniqueFd fd(::open(...));
//
// GObject-derived types work as they are; other reference-counted types name their ref and unref
// functions in a RefTraits specialisation (GBytes, GMainContext, GMainLoop, GSource, GDateTime,
// GHashTable, GUri here; GStreamer's in foundation/gst_owned.h).
#pragma once

#include <glib-object.h>
#include <glib.h>

#include <memory>
#include <type_traits>
#include <utility>

#include <unistd.h>

namespace zarvo {

template <class T> struct RefTraits {
    static T* ref(T* object) { return static_cast<T*>(g_object_ref(object)); }
    static void unref(T* object) { g_object_unref(object); }
};
template <> struct RefTraits<GBytes> {
    static GBytes* ref(GBytes* bytes) { return g_bytes_ref(bytes); }
    static void unref(GBytes* bytes) { g_bytes_unref(bytes); }
};
template <> struct RefTraits<GMainContext> {
    static GMainContext* ref(GMainContext* context) { return g_main_context_ref(context); }
    static void unref(GMainContext* context) { g_main_context_unref(context); }
};
template <> struct RefTraits<GSource> {
    static GSource* ref(GSource* source) { return g_source_ref(source); }
    static void unref(GSource* source) { g_source_unref(source); }
};
template <> struct RefTraits<GMainLoop> {
    static GMainLoop* ref(GMainLoop* loop) { return g_main_loop_ref(loop); }
    static void unref(GMainLoop* loop) { g_main_loop_unref(loop); }
};
template <> struct RefTraits<GDateTime> {
    static GDateTime* ref(GDateTime* time) { return g_date_time_ref(time); }
    static void unref(GDateTime* time) { g_date_time_unref(time); }
};
template <> struct RefTraits<GHashTable> {
    static GHashTable* ref(GHashTable* table) { return g_hash_table_ref(table); }
    static void unref(GHashTable* table) { g_hash_table_unref(table); }
};
template <> struct RefTraits<GUri> {
    static GUri* ref(GUri* uri) { return g_uri_ref(uri); }
    static void unref(GUri* uri) { g_uri_unref(uri); }
};

// One counted reference to a T, or none.
template <class T> class GRef {
public:
    GRef() = default;
    GRef(std::nullptr_t) {}
    ~GRef() { reset(); }
    GRef(const GRef& other) : object_(other.object_ ? RefTraits<T>::ref(other.object_) : nullptr) {}
    GRef(GRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    GRef& operator=(GRef other) noexcept {
        std::swap(object_, other.object_);
        return *this;
    }

    // Takes over a reference the caller owns (a "transfer full" return value).
    static GRef adopt(T* object) {
        GRef held;
        held.object_ = object;
        return held;
    }
    // Adds a reference to a borrowed pointer.
    static GRef retain(T* object) { return adopt(object ? RefTraits<T>::ref(object) : nullptr); }

    T* get() const { return object_; }
    T* operator->() const { return object_; }
    explicit operator bool() const { return object_ != nullptr; }
    // Hands the reference to a "transfer full" parameter.
    [[nodiscard]] T* release() { return std::exchange(object_, nullptr); }
    void reset() {
        if (T* object = std::exchange(object_, nullptr))
            RefTraits<T>::unref(object);
    }

private:
    T* object_ = nullptr;
};

template <class T> GRef<T> adoptRef(T* object) {
    return GRef<T>::adopt(object);
}
template <class T> GRef<T> retainRef(T* object) {
    return GRef<T>::retain(object);
}

struct GFreeDeleter {
    void operator()(void* memory) const { g_free(memory); }
};
// Memory from g_malloc, g_strdup and friends.
template <class T> using GOwned = std::unique_ptr<T, GFreeDeleter>;

struct GStrvDeleter {
    void operator()(char** strings) const { g_strfreev(strings); }
};
using GOwnedStrv = std::unique_ptr<char*, GStrvDeleter>;

// A GError out-parameter that frees what it receives.
class GErrorHolder {
public:
    GErrorHolder() = default;
    ~GErrorHolder() { reset(); }
    GErrorHolder(const GErrorHolder&) = delete;
    GErrorHolder& operator=(const GErrorHolder&) = delete;

    // For a `GError**` parameter; any earlier error is freed first.
    GError** out() {
        reset();
        return &error_;
    }
    GError* get() const { return error_; }
    GError* operator->() const { return error_; }
    explicit operator bool() const { return error_ != nullptr; }
    // The message, or `fallback` when there is no error.
    const char* message(const char* fallback = "") const {
        return error_ ? error_->message : fallback;
    }
    void reset() { g_clear_error(&error_); }

private:
    GError* error_ = nullptr;
};

// A file descriptor closed when the holder goes.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other)
            reset(std::exchange(other.fd_, -1));
        return *this;
    }

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    explicit operator bool() const { return valid(); }
    [[nodiscard]] int release() { return std::exchange(fd_, -1); }
    void reset(int fd = -1) {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = fd;
    }
    // Closes now and reports close's own result (0 or -1 with errno), for writes whose last error
    // only close may report.
    int close() {
        if (fd_ < 0)
            return 0;
        return ::close(std::exchange(fd_, -1));
    }

private:
    int fd_ = -1;
};

} // namespace zarvo
