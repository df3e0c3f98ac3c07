#pragma once
// What every native method of quarn.vemo.korvane.Index shares: raising a Java exception and returning,
// keeping C++ exceptions out of the JVM, and holding Java strings and array elements so that every way out
// of a method releases them.

#include <jni.h>

#include <cstddef>
#include <exception>
#include <memory>
#include <new>
#include <type_traits>

namespace vemo {
namespace korvane {
namespace jni {

/// Faults of the caller's arguments.
constexpr char const* illegal_argument_k = "java/lang/IllegalArgumentException";
/// Failures inside the index.
constexpr char const* error_k = "java/lang/Error";

/// Raises `class_name` with `message` and gives the value the method then returns (0, null, false or
/// nothing); the Java caller ignores it and sees the exception. An exception already pending is the first
/// failure and stays; JNI allows no other call while one is pending. If the class cannot be found, the lookup's
/// own exception is what Java sees.
template <typename result_at = void>
result_at raise(JNIEnv* env, char const* class_name, char const* message) noexcept {
    if (!env->ExceptionCheck()) {
        jclass type = env->FindClass(class_name);
        if (type)
            env->ThrowNew(type, message);
    }
    if constexpr (!std::is_void_v<result_at>)
        return result_at{};
}

/// Runs a native method's body and turns any C++ exception that leaves it into java/lang/Error.
template <typename body_at>
auto guarded(JNIEnv* env, body_at&& body) noexcept -> decltype(body()) {
    using result_t = decltype(body());
    try {
        return body();
    } catch (std::bad_alloc const&) {
        return raise<result_t>(env, error_k, "Out of memory!");
    } catch (std::exception const& failure) {
        return raise<result_t>(env, error_k, failure.what());
    } catch (...) {
        return raise<result_t>(env, error_k, "Unexpected native failure");
    }
}

/// The modified UTF-8 bytes of a Java string, released when the holder goes out of scope. Empty when the
/// string is null (nothing pending) or the JVM ran out of memory (OutOfMemoryError pending).
class utf_chars_t {
  public:
    utf_chars_t(JNIEnv* env, jstring string) noexcept
        : env_(env), string_(string), chars_(string ? env->GetStringUTFChars(string, nullptr) : nullptr),
          length_(chars_ ? static_cast<std::size_t>(env->GetStringUTFLength(string)) : 0) {}
    utf_chars_t(utf_chars_t const&) = delete;
    utf_chars_t& operator=(utf_chars_t const&) = delete;
    ~utf_chars_t() noexcept {
        if (chars_)
            env_->ReleaseStringUTFChars(string_, chars_);
    }

    explicit operator bool() const noexcept { return chars_ != nullptr; }
    /// Zero-terminated bytes.
    char const* c_str() const noexcept { return chars_; }
    /// Bytes before the terminator.
    std::size_t length() const noexcept { return length_; }

  private:
    JNIEnv* env_;
    jstring string_;
    char const* chars_;
    std::size_t length_;
};

inline jfloat* array_elements(JNIEnv* env, jfloatArray array) { return env->GetFloatArrayElements(array, nullptr); }
inline jdouble* array_elements(JNIEnv* env, jdoubleArray array) { return env->GetDoubleArrayElements(array, nullptr); }
inline jbyte* array_elements(JNIEnv* env, jbyteArray array) { return env->GetByteArrayElements(array, nullptr); }
inline jlong* array_elements(JNIEnv* env, jlongArray array) { return env->GetLongArrayElements(array, nullptr); }
inline void release_array_elements(JNIEnv* env, jfloatArray array, jfloat* elements, jint mode) {
    env->ReleaseFloatArrayElements(array, elements, mode);
}
inline void release_array_elements(JNIEnv* env, jdoubleArray array, jdouble* elements, jint mode) {
    env->ReleaseDoubleArrayElements(array, elements, mode);
}
inline void release_array_elements(JNIEnv* env, jbyteArray array, jbyte* elements, jint mode) {
    env->ReleaseByteArrayElements(array, elements, mode);
}
inline void release_array_elements(JNIEnv* env, jlongArray array, jlong* elements, jint mode) {
    env->ReleaseLongArrayElements(array, elements, mode);
}

/// The elements of a Java primitive array, released when the holder goes out of scope: with JNI_ABORT
/// (nothing copied back) unless `commit` was called. Empty when the array is null or the JVM ran out of
/// memory (OutOfMemoryError pending).
template <typename array_at>
class array_elements_gt {
  public:
    using element_t = std::remove_pointer_t<decltype(array_elements(nullptr, array_at{}))>;

    array_elements_gt(JNIEnv* env, array_at array) noexcept
        : env_(env), array_(array), elements_(array ? array_elements(env, array) : nullptr),
          length_(elements_ ? static_cast<std::size_t>(env->GetArrayLength(array)) : 0) {}
    array_elements_gt(array_elements_gt const&) = delete;
    array_elements_gt& operator=(array_elements_gt const&) = delete;
    ~array_elements_gt() noexcept {
        if (elements_)
            release_array_elements(env_, array_, elements_, mode_);
    }

    explicit operator bool() const noexcept { return elements_ != nullptr; }
    element_t* data() const noexcept { return elements_; }
    std::size_t length() const noexcept { return length_; }
    /// Copies the elements back into the Java array on release.
    void commit() noexcept { mode_ = 0; }

  private:
    JNIEnv* env_;
    array_at array_;
    element_t* elements_;
    std::size_t length_;
    jint mode_ = JNI_ABORT;
};

inline void copy_region(JNIEnv* env, jfloatArray array, jsize length, jfloat* into) {
    env->GetFloatArrayRegion(array, 0, length, into);
}
inline void copy_region(JNIEnv* env, jdoubleArray array, jsize length, jdouble* into) {
    env->GetDoubleArrayRegion(array, 0, length, into);
}
inline void copy_region(JNIEnv* env, jbyteArray array, jsize length, jbyte* into) {
    env->GetByteArrayRegion(array, 0, length, into);
}

/// Room for `count` elements: inside the object up to `inline_count` (a search's query and its keys fit
/// there, so the common call allocates nothing), on the heap beyond.
template <typename element_at, std::size_t inline_count>
class scratch_gt {
  public:
    explicit scratch_gt(std::size_t count) : heap_(count > inline_count ? new element_at[count] : nullptr) {}
    scratch_gt(scratch_gt const&) = delete;
    scratch_gt& operator=(scratch_gt const&) = delete;

    element_at* data() noexcept { return heap_ ? heap_.get() : inline_; }

  private:
    alignas(64) element_at inline_[inline_count];
    std::unique_ptr<element_at[]> heap_;
};

/// A copy of the first `count` elements of a Java primitive array (which holds at least that many).
template <typename array_at>
class array_prefix_gt {
  public:
    using element_t = typename array_elements_gt<array_at>::element_t;

    array_prefix_gt(JNIEnv* env, array_at array, std::size_t count) : scratch_(count) {
        copy_region(env, array, static_cast<jsize>(count), scratch_.data());
    }

    element_t const* data() noexcept { return scratch_.data(); }

  private:
    scratch_gt<element_t, 4096 / sizeof(element_t)> scratch_;
};

} // namespace jni
} // namespace korvane
} // namespace vemo
