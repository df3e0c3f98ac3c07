# Sanitizer variants: the suffix of a target names its variant ("", "_asan" or "_tsan"). They are built at
# -O1, as the sanitizers advise: at -O3 the instrumented test programs take well over twice as long to
# compile, which the test command's time on two cores cannot afford.
set(KORVANE_ASAN_FLAGS -O1 -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
set(KORVANE_TSAN_FLAGS -O1 -fsanitize=thread -fno-omit-frame-pointer)

function(korvane_apply_sanitizer target suffix)
  if(suffix STREQUAL "_asan")
    target_compile_options(${target} PUBLIC ${KORVANE_ASAN_FLAGS})
    target_link_options(${target} PUBLIC ${KORVANE_ASAN_FLAGS})
  elseif(suffix STREQUAL "_tsan")
    target_compile_options(${target} PUBLIC ${KORVANE_TSAN_FLAGS})
    target_link_options(${target} PUBLIC ${KORVANE_TSAN_FLAGS})
  endif()
endfunction()
