package quarn.vemo.korvane.bench;

/**
 * The C++ benchmark's own korvane search loop (bench/ann's engine, the C++ API searching one query after
 * another), run inside this JVM on its own copy of a saved graph. The Java benchmark alternates its passes with
 * the binding's, so that the binding's cost is measured against C++ searches of the same process and the same
 * minutes: two processes of the same search differ by more than the binding costs. Not thread-safe.
 */
final class NativeSearch implements AutoCloseable {
    static {
        System.loadLibrary("korvane_bench_jni");
    }

    private long handle;

    /** Loads the first {@code queries} images of an IDX file (0 = all) and the graph saved at {@code graph}. */
    NativeSearch(String queriesPath, int queries, String graph) {
        handle = open(queriesPath, queries, graph);
    }

    /** Reloads the graph with another search expansion. */
    void expansion(long expansion) {
        setExpansion(handle, expansion);
    }

    /**
     * Searches queries {@code first} to {@code first + count - 1} for {@code wanted} keys each, one after
     * another on this thread, and writes the keys row by row into {@code keys} (-1 where fewer were found).
     */
    void search(int first, int count, int wanted, long[] keys) {
        search(handle, first, count, wanted, keys);
    }

    @Override
    public void close() {
        if (handle != 0) {
            close(handle);
            handle = 0;
        }
    }

    private static native long open(String queriesPath, int queries, String graph);

    private static native void setExpansion(long handle, long expansion);

    private static native void search(long handle, int first, int count, int wanted, long[] keys);

    private static native void close(long handle);
}
