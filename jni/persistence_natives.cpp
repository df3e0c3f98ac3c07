// Native methods of quarn.vemo.korvane.Index: saving, loading, viewing, creating from a file, and what the
// library and the processor offer.

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <new>
#include <thread>
#include <utility>

#include "index/index_dense.h"
#include "index/index_dense_persistence.h"
#include "index/index_file_format.h"
#include "jni/index_handle.h"
#include "jni/jni_support.h"
#include "kernels/vexlane.h"
#include "quarn_vemo_korvane_Index.h"

using namespace vemo::korvane;
using namespace vemo::korvane::jni;

namespace {

constexpr char const* null_path_k = "path must not be null";

/// Raises the message of a failed file operation as java/lang/Error; true when there was one.
template <typename result_at>
bool raise_failure(JNIEnv* env, result_at& result) {
    if (!result.error)
        return false;
    raise(env, error_k, result.error.release());
    return true;
}

/// A reader keeps the thread counts the index had before it; an index emptied by an earlier failed read
/// had none, and without thread contexts every insertion and search would fail. Such an index gets one
/// context per hardware thread, as a new one does.
void provide_thread_contexts(JNIEnv* env, index_dense_t& index) {
    if (index.threads_count() != 0)
        return;
    std::size_t const threads = std::max(1u, std::thread::hardware_concurrency());
    index_limits_t limits;
    limits.insertion_threads = threads;
    limits.search_threads = threads;
    if (!index.try_reserve(limits))
        raise(env, error_k, "Failed to reserve memory for the index");
}

/// Loads a file through a stream into `index`.
void load_into(JNIEnv* env, index_dense_t& index, char const* path) {
    input_file_t file(path);
    auto opened = file.open_if_not();
    if (raise_failure(env, opened))
        return;
    auto loaded = index.load(file);
    file.close();
    if (!raise_failure(env, loaded))
        provide_thread_contexts(env, index);
}

/// Views a file in place through `index`; a mapping the index did not take over is closed by its holder.
void view_into(JNIEnv* env, index_dense_t& index, char const* path) {
    memory_mapped_file_t file(path);
    auto viewed = index.view(std::move(file));
    if (!raise_failure(env, viewed))
        provide_thread_contexts(env, index);
}

/// Replaces the content of `index` by the file at `path`, viewed in place or loaded through a stream.
void read_into(JNIEnv* env, index_dense_t& index, jstring path, bool view) {
    utf_chars_t file_path(env, path);
    if (!file_path)
        return raise(env, illegal_argument_k, null_path_k);
    if (view)
        view_into(env, index, file_path.c_str());
    else
        load_into(env, index, file_path.c_str());
}

/// A new String[] of the names of the rows of `table` whose value passes `keep`, in row order.
template <typename keep_at>
jobjectArray names_where(JNIEnv* env, vexlane_named_value_t const* table, std::size_t rows, keep_at&& keep) {
    jsize count = 0;
    for (std::size_t row = 0; row != rows; ++row)
        count += keep(table[row].value) ? 1 : 0;
    jclass string_class = env->FindClass("java/lang/String");
    if (!string_class)
        return nullptr;
    jobjectArray names = env->NewObjectArray(count, string_class, nullptr);
    if (!names)
        return nullptr;
    jsize next = 0;
    for (std::size_t row = 0; row != rows; ++row) {
        if (!keep(table[row].value))
            continue;
        jstring name = env->NewStringUTF(table[row].name);
        if (!name)
            return nullptr;
        env->SetObjectArrayElement(names, next++, name);
        env->DeleteLocalRef(name);
    }
    return names;
}

} // namespace

extern "C" {

JNIEXPORT void JNICALL Java_quarn_vemo_korvane_Index_c_1save(JNIEnv* env, jclass, jlong handle, jstring path) {
    guarded(env, [&] {
        utf_chars_t file_path(env, path);
        if (!file_path)
            return raise(env, illegal_argument_k, null_path_k);
        output_file_t file(file_path.c_str());
        auto opened = file.open_if_not();
        if (raise_failure(env, opened))
            return;
        auto saved = index_of(handle).save(file);
        // Closing commits the file; after a failed save it discards what was written instead.
        auto closed = file.close();
        if (!raise_failure(env, saved))
            raise_failure(env, closed);
    });
}

JNIEXPORT void JNICALL Java_quarn_vemo_korvane_Index_c_1load(JNIEnv* env, jclass, jlong handle, jstring path) {
    guarded(env, [&] { read_into(env, index_of(handle), path, false); });
}

JNIEXPORT void JNICALL Java_quarn_vemo_korvane_Index_c_1view(JNIEnv* env, jclass, jlong handle, jstring path) {
    guarded(env, [&] { read_into(env, index_of(handle), path, true); });
}

JNIEXPORT jlong JNICALL Java_quarn_vemo_korvane_Index_c_1createFromFile(JNIEnv* env, jclass, jstring path,
                                                                       jboolean view) {
    return guarded(env, [&]() -> jlong {
        auto index = std::make_unique<index_dense_t>(index_dense_t::blank());
        read_into(env, *index, path, view);
        if (env->ExceptionCheck())
            return 0;
        return handle_of(index.release());
    });
}

JNIEXPORT jstring JNICALL Java_quarn_vemo_korvane_Index_c_1hardware_1acceleration(JNIEnv* env, jclass,
                                                                                 jlong handle) {
    return guarded(env, [&] {
        metric_punned_t const& metric = index_of(handle).metric();
        char const* name = metric.has_function() ? vexlane_capability_name(metric.capability()) : "uninitialized";
        return env->NewStringUTF(name);
    });
}

JNIEXPORT jobjectArray JNICALL Java_quarn_vemo_korvane_Index_c_1hardware_1acceleration_1available(JNIEnv* env,
                                                                                                 jclass) {
    return guarded(env, [&] {
        vexlane_capability_t const available = vexlane_capabilities() | vexlane_cap_serial;
        std::size_t rows = 0;
        vexlane_named_value_t const* table = vexlane_capability_names(&rows);
        return names_where(env, table, rows, [=](std::uint64_t bit) { return (available & bit) != 0; });
    });
}

JNIEXPORT jobjectArray JNICALL Java_quarn_vemo_korvane_Index_c_1hardware_1acceleration_1compiled(JNIEnv* env,
                                                                                                jclass) {
    return guarded(env, [&] {
        std::size_t rows = 0;
        vexlane_named_value_t const* table = vexlane_compiled_capabilities(&rows);
        return names_where(env, table, rows, [](std::uint64_t built) { return built != 0; });
    });
}

JNIEXPORT jstring JNICALL Java_quarn_vemo_korvane_Index_c_1library_1version(JNIEnv* env, jclass) {
    return guarded(env, [&] {
        char text[32];
        std::snprintf(text, sizeof(text), "%d.%d.%d", int{index_file_version_major_k}, int{index_file_version_minor_k},
                      int{index_file_version_patch_k});
        return env->NewStringUTF(text);
    });
}

JNIEXPORT jboolean JNICALL Java_quarn_vemo_korvane_Index_c_1uses_1dynamic_1dispatch(JNIEnv*, jclass) {
    return JNI_FALSE;
}

} // extern "C"
