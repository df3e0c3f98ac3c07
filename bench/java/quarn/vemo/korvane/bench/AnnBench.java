package quarn.vemo.korvane.bench;

import java.io.DataInputStream;
import java.io.FileInputStream;
import java.io.FileWriter;
import java.io.IOException;
import java.io.BufferedInputStream;
import java.io.PrintWriter;
import java.lang.management.ManagementFactory;
import java.lang.management.ThreadMXBean;
import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.Arrays;
import java.util.HashMap;
import java.util.HashSet;
import java.util.Locale;
import java.util.Map;
import java.util.Set;
import java.util.concurrent.atomic.AtomicInteger;
import java.util.concurrent.atomic.AtomicReference;
import java.util.function.IntFunction;

import quarn.vemo.korvane.Index;

/**
 * The Java side of the Fashion-MNIST benchmark: builds an f32 index from Java threads, then searches, one query
 * at a time from a {@code float[]} on one thread, the very graph the C++ run saved, so that its figures differ
 * from the C++ ones only by the cost of the binding. Between its passes the C++ benchmark's own search loop
 * searches another copy of that graph in this process ({@link NativeSearch}), which gives the C++ side of the
 * Java/C++ ratio. Appends its figures to the same tab-separated file as the C++ benchmark.
 *
 * <pre>
 * java quarn.vemo.korvane.bench.AnnBench --data DIR --out FILE --graph PATH [--base N] [--queries N]
 *     [--threads T] [--ef LIST] [--passes N] [--build no]
 * </pre>
 */
public final class AnnBench {
    private static final int WANTED = 10;
    private static final String NAME = "korvane f32 (Java)";
    /** The C++ search of the same graph, run in this process between the Java passes. */
    private static final String NATIVE_NAME = "korvane f32 (C++ in the JVM)";
    /** Untimed queries before each timed pass, enough for the JIT to compile the search path. */
    private static final int WARMUP_QUERIES = 2000;

    private AnnBench() {}

    /** Byte images of one IDX file; rows * dims pixels. */
    private static final class Images {
        final int rows;
        final int dims;
        final byte[] pixels;
        final float[][] floats;

        Images(int rows, int dims, byte[] pixels) {
            this.rows = rows;
            this.dims = dims;
            this.pixels = pixels;
            this.floats = new float[rows][dims];
            for (int r = 0; r < rows; r++) {
                for (int d = 0; d < dims; d++) {
                    floats[r][d] = pixels[r * dims + d] & 0xFF;
                }
            }
        }

        long exactL2sq(int row, Images other, int otherRow) {
            long sum = 0;
            for (int d = 0; d < dims; d++) {
                int diff = (pixels[row * dims + d] & 0xFF) - (other.pixels[otherRow * dims + d] & 0xFF);
                sum += diff * diff;
            }
            return sum;
        }
    }

    private static Images loadImages(String path, int limit) throws IOException {
        try (DataInputStream in = new DataInputStream(new BufferedInputStream(new FileInputStream(path)))) {
            if (in.readInt() != 0x803) {
                throw new IOException(path + ": not an IDX file of unsigned-byte images");
            }
            int rows = in.readInt();
            int dims = in.readInt() * in.readInt();
            if (limit > 0 && limit < rows) {
                rows = limit;
            }
            byte[] pixels = new byte[rows * dims];
            in.readFully(pixels);
            return new Images(rows, dims, pixels);
        }
    }

    /** The k-th true distance of every query, from the cache the C++ benchmark writes. */
    private static long[] loadKthDistances(String path, Images base, Images queries, int k) throws IOException {
        ByteBuffer file = ByteBuffer.wrap(Files.readAllBytes(Path.of(path))).order(ByteOrder.LITTLE_ENDIAN);
        file.position(8);
        long[] shape = {file.getLong(), file.getLong(), file.getLong(), file.getLong()};
        if (shape[0] != base.rows || shape[1] != queries.rows || shape[2] != base.dims || shape[3] != k) {
            throw new IOException(path + ": ground truth of other shapes " + Arrays.toString(shape));
        }
        int distances = 8 + 32 + queries.rows * k * 4;
        long[] kth = new long[queries.rows];
        for (int q = 0; q < queries.rows; q++) {
            kth[q] = Integer.toUnsignedLong(file.getInt(distances + (q * k + k - 1) * 4));
        }
        return kth;
    }

    /** The rule of the C++ benchmark: an id within the k-th true distance is a hit; each id counts once. */
    private static double recall(Images base, Images queries, long[] kth, IntFunction<long[]> found) {
        long hits = 0;
        Set<Long> seen = new HashSet<>();
        for (int q = 0; q < queries.rows; q++) {
            seen.clear();
            int here = 0;
            for (long id : found.apply(q)) {
                if (id < 0 || id >= base.rows || !seen.add(id)) {
                    continue;
                }
                if (queries.exactL2sq(q, base, (int) id) <= kth[q]) {
                    here++;
                }
            }
            hits += Math.min(here, WANTED);
        }
        return (double) hits / ((double) queries.rows * WANTED);
    }

    private static double residentMib() {
        try {
            String[] fields = Files.readString(Path.of("/proc/self/statm")).trim().split("\\s+");
            return Long.parseLong(fields[1]) * 4096.0 / (1024.0 * 1024.0);
        } catch (IOException | RuntimeException e) {
            return -1;
        }
    }

    private static Index create(int dims, int capacity, long expansionSearch) {
        return Index.builder().metric("l2sq").scalar("f32").dimensions(dims).capacity(capacity).connectivity(16)
                .expansionAdd(128).expansionSearch(expansionSearch).build();
    }

    public static void main(String[] args) throws Exception {
        Map<String, String> options = new HashMap<>();
        for (int i = 0; i + 1 < args.length; i += 2) {
            if (!args[i].startsWith("--")) {
                throw new IllegalArgumentException("expected --name value pairs, got " + args[i]);
            }
            options.put(args[i].substring(2), args[i + 1]);
        }
        String data = required(options, "data");
        String out = required(options, "out");
        String graph = required(options, "graph");
        int buildThreads = Integer.parseInt(options.getOrDefault("threads", "2"));
        int passes = Math.max(1, Integer.parseInt(options.getOrDefault("passes", "2")));
        String[] expansions = options.getOrDefault("ef", "10,16,32,64,128,256").split(",");

        Images base = loadImages(data + "/train-images-idx3-ubyte", Integer.parseInt(options.getOrDefault("base", "0")));
        Images queries = loadImages(data + "/t10k-images-idx3-ubyte",
                Integer.parseInt(options.getOrDefault("queries", "0")));
        long[] kth = loadKthDistances(data + "/truth-" + base.rows + "x" + queries.rows + "-k" + WANTED + ".bin",
                base, queries, WANTED);

        // Build from Java threads, one vector per call, as an application would; "--build no" skips it, so that
        // the searches can be profiled alone.
        boolean build = !"no".equals(options.get("build"));
        System.gc();
        double residentBefore = residentMib();
        double buildSeconds = 0;
        double indexMib = 0;
        if (build) try (Index index = create(base.dims, base.rows, 0)) {
            AtomicInteger next = new AtomicInteger();
            AtomicReference<Throwable> failure = new AtomicReference<>();
            long start = System.nanoTime();
            Thread[] pool = new Thread[buildThreads];
            for (int t = 0; t < buildThreads; t++) {
                pool[t] = new Thread(() -> {
                    try {
                        for (int i = next.getAndIncrement(); i < base.rows; i = next.getAndIncrement()) {
                            index.add(i, base.floats[i]);
                        }
                    } catch (Throwable e) {
                        failure.compareAndSet(null, e);
                    }
                });
                pool[t].start();
            }
            for (Thread thread : pool) {
                thread.join();
            }
            if (failure.get() != null) {
                throw new RuntimeException("adding failed", failure.get());
            }
            buildSeconds = (System.nanoTime() - start) / 1e9;
            indexMib = index.memoryUsage() / (1024.0 * 1024.0);
        }
        double residentMib = build ? residentMib() - residentBefore : 0;
        double vectorsMib = (double) base.rows * base.dims * 4 / (1024.0 * 1024.0);
        System.err.printf(Locale.ROOT, "%s: built %d vectors in %.2f s%n", NAME, base.rows, buildSeconds);

        // Each expansion: the binding's passes alternate with passes of the C++ benchmark's own search loop, run
        // in this process on another copy of the same graph (NativeSearch), so that the two meet the machine in
        // the same state; the Java/C++ ratio of the report is taken from these pairs.
        long[][] found = new long[queries.rows][];
        long[] nativeFound = new long[queries.rows * WANTED];
        ThreadMXBean threads = ManagementFactory.getThreadMXBean();
        int queryLimit = Integer.parseInt(options.getOrDefault("queries", "0"));
        try (PrintWriter tsv = new PrintWriter(new FileWriter(out, true));
                NativeSearch nativeSearch = new NativeSearch(data + "/t10k-images-idx3-ubyte", queryLimit, graph)) {
            for (String text : expansions) {
                int expansion = Integer.parseInt(text.trim());
                try (Index index = create(base.dims, 0, expansion)) {
                    index.load(graph);
                    nativeSearch.expansion(expansion);
                    int warmup = Math.min(WARMUP_QUERIES, queries.rows);
                    for (int i = 0; i < WARMUP_QUERIES; i++) {
                        index.search(queries.floats[i % queries.rows], WANTED);
                    }
                    nativeSearch.search(0, warmup, WANTED, nativeFound);
                    // Timed by this thread's processor time, the fastest of several passes, as in the C++ run.
                    double seconds = Double.MAX_VALUE;
                    double wallSeconds = Double.MAX_VALUE;
                    double nativeSeconds = Double.MAX_VALUE;
                    for (int pass = 0; pass < passes; pass++) {
                        long cpuStart = threads.getCurrentThreadCpuTime();
                        long start = System.nanoTime();
                        for (int q = 0; q < queries.rows; q++) {
                            found[q] = index.search(queries.floats[q], WANTED);
                        }
                        seconds = Math.min(seconds, (threads.getCurrentThreadCpuTime() - cpuStart) / 1e9);
                        wallSeconds = Math.min(wallSeconds, (System.nanoTime() - start) / 1e9);

                        cpuStart = threads.getCurrentThreadCpuTime();
                        nativeSearch.search(0, queries.rows, WANTED, nativeFound);
                        nativeSeconds = Math.min(nativeSeconds, (threads.getCurrentThreadCpuTime() - cpuStart) / 1e9);
                    }
                    double recall = recall(base, queries, kth, q -> found[q]);
                    double nativeRecall = recall(base, queries, kth,
                            q -> Arrays.copyOfRange(nativeFound, q * WANTED, (q + 1) * WANTED));
                    System.err.printf(Locale.ROOT, "%s: ef=%d recall@10=%.4f %.0f q/s (%.0f by the wall clock)%n", NAME,
                            expansion, recall, queries.rows / seconds, queries.rows / wallSeconds);
                    System.err.printf(Locale.ROOT, "%s: ef=%d recall@10=%.4f %.0f q/s%n", NATIVE_NAME, expansion,
                            nativeRecall, queries.rows / nativeSeconds);
                    writeRow(tsv, NAME, buildSeconds, residentMib, indexMib, vectorsMib, expansion, recall,
                            queries.rows / seconds);
                    // The C++ copy never builds: no build or memory figures of its own.
                    writeRow(tsv, NATIVE_NAME, 0, -1, 0, vectorsMib, expansion, nativeRecall,
                            queries.rows / nativeSeconds);
                }
            }
        }
    }

    /** One line of the tab-separated figures, in the C++ benchmark's layout. */
    private static void writeRow(PrintWriter tsv, String name, double buildSeconds, double residentMib,
            double indexMib, double vectorsMib, int expansion, double recall, double queriesPerSecond) {
        tsv.printf(Locale.ROOT, "%s\t%f\t%f\t%f\t%f\t%d\t%f\t%f%n", name, buildSeconds, residentMib, indexMib,
                vectorsMib, expansion, recall, queriesPerSecond);
    }

    private static String required(Map<String, String> options, String key) {
        String value = options.get(key);
        if (value == null) {
            throw new IllegalArgumentException("missing --" + key);
        }
        return value;
    }
}
