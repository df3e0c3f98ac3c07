// Native methods of quarn.vemo.korvane.bench.NativeSearch: the C++ benchmark's korvane engine, loaded into the
// Java benchmark's JVM so that its searches and the binding's run in one process. Failures become
// java/lang/Error with the C++ message.
#include <jni.h>

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/ann/dataset.h"
#include "bench/ann/engine.h"
#include "jni/jni_support.h"
#include "quarn_vemo_korvane_bench_NativeSearch.h"

using namespace vemo::korvane;

namespace {

struct session_t {
    bench::dataset_t queries;
    std::unique_ptr<bench::engine_t> engine;
    std::vector<std::int64_t> ids;
};

session_t& session_of(jlong handle) { return *reinterpret_cast<session_t*>(handle); }

std::string text_of(JNIEnv* env, jstring string) {
    jni::utf_chars_t chars(env, string);
    if (!chars)
        throw std::invalid_argument("a path is null");
    return std::string(chars.c_str(), chars.length());
}

} // namespace

extern "C" {

JNIEXPORT jlong JNICALL Java_quarn_vemo_korvane_bench_NativeSearch_open(JNIEnv* env, jclass, jstring queries_path,
                                                                        jint queries, jstring graph) {
    return jni::guarded(env, [&] {
        auto session = std::make_unique<session_t>();
        session->queries = bench::load_idx_images(text_of(env, queries_path), static_cast<std::size_t>(queries));
        std::string const path = text_of(env, graph);
        // The engine writes its scratch file only after a build; this one only loads.
        session->engine = bench::make_korvane_engine(session->queries.dims, "f32", path + ".unused");
        if (!session->engine->load(path))
            throw std::runtime_error("cannot load " + path);
        return reinterpret_cast<jlong>(session.release());
    });
}

JNIEXPORT void JNICALL Java_quarn_vemo_korvane_bench_NativeSearch_setExpansion(JNIEnv* env, jclass, jlong handle,
                                                                               jlong expansion) {
    jni::guarded(env, [&] { session_of(handle).engine->set_search_expansion(static_cast<std::size_t>(expansion)); });
}

JNIEXPORT void JNICALL Java_quarn_vemo_korvane_bench_NativeSearch_search(JNIEnv* env, jclass, jlong handle,
                                                                         jint first, jint count, jint wanted,
                                                                         jlongArray keys) {
    jni::guarded(env, [&] {
        session_t& session = session_of(handle);
        if (first < 0 || count < 0 || wanted < 0 || std::size_t(first) + std::size_t(count) > session.queries.rows)
            throw std::out_of_range("queries out of range");
        std::size_t const length = std::size_t(count) * std::size_t(wanted);
        if (!keys || std::size_t(env->GetArrayLength(keys)) < length)
            throw std::invalid_argument("keys array too short");
        session.ids.resize(length);
        session.engine->search(session.queries, std::size_t(first), std::size_t(count), std::size_t(wanted),
                               session.ids.data());
        env->SetLongArrayRegion(keys, 0, static_cast<jsize>(length),
                                reinterpret_cast<jlong const*>(session.ids.data()));
    });
}

JNIEXPORT void JNICALL Java_quarn_vemo_korvane_bench_NativeSearch_close(JNIEnv* env, jclass, jlong handle) {
    jni::guarded(env, [&] { delete &session_of(handle); });
}

} // extern "C"
