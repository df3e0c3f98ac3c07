package quarn.vemo.korvane.examples;

import java.io.BufferedInputStream;
import java.io.DataInputStream;
import java.io.DataOutputStream;
import java.io.IOException;
import java.io.InputStream;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.StandardCopyOption;
import java.util.ArrayList;
import java.util.List;
import java.util.Locale;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.Future;
import java.util.concurrent.atomic.AtomicInteger;
import java.util.zip.GZIPInputStream;
import quarn.vemo.korvane.Index;

/**
 * Indexes the 60,000 Fashion-MNIST training images (784 dimensions, f32, l2sq, default connectivity and
 * expansions) from several threads, searches the 10,000 test images for their 10 nearest neighbours, and reports
 * recall@10 against exact neighbours, build time, queries per second and memory.
 *
 * <pre>
 * java -cp korvane.jar:korvane-demo.jar quarn.vemo.korvane.examples.FashionMnist --data DIR [--cache DIR]
 *     [--threads N]
 * </pre>
 *
 * Exits with status 1 when recall@10 is below 0.99.
 */
public final class FashionMnist {
    private static final int WANTED = 10;
    private static final double REQUIRED_RECALL = 0.99;
    private static final int TRUTH_MAGIC = 0x4B475431;

    private FashionMnist() {}

    /** The images of one IDX file, as floats for the index and as integers for exact distances. */
    private static final class Images {
        final int rows;
        final int dimensions;
        final float[][] vectors;
        /** Row-major pixels, 0-255. */
        final int[] pixels;

        Images(Path file) throws IOException {
            try (DataInputStream in = new DataInputStream(
                    new BufferedInputStream(new GZIPInputStream(Files.newInputStream(file), 1 << 16)))) {
                if (in.readInt() != 0x803) {
                    throw new IOException(file + " is not an IDX file of unsigned-byte images");
                }
                rows = in.readInt();
                dimensions = in.readInt() * in.readInt();
                byte[] raw = new byte[dimensions];
                vectors = new float[rows][dimensions];
                pixels = new int[rows * dimensions];
                for (int row = 0; row < rows; row++) {
                    in.readFully(raw);
                    for (int d = 0; d < dimensions; d++) {
                        int pixel = raw[d] & 0xFF;
                        vectors[row][d] = pixel;
                        pixels[row * dimensions + d] = pixel;
                    }
                }
            }
        }

        /** Exact squared Euclidean distance between a row of this set and a row of another. */
        int distance(int row, Images other, int otherRow) {
            return distanceBelow(row, other, otherRow, Integer.MAX_VALUE);
        }

        /**
         * The exact distance when it is below {@code bound}, otherwise some partial sum at least {@code bound}:
         * the sum is checked after every block, so most rows of a brute-force scan stop early while the loop
         * inside a block stays simple enough to vectorise.
         */
        int distanceBelow(int row, Images other, int otherRow, int bound) {
            int sum = 0;
            int a = row * dimensions;
            int b = otherRow * other.dimensions;
            for (int start = 0; start < dimensions && sum < bound; start += 64) {
                int end = Math.min(dimensions, start + 64);
                for (int d = start; d < end; d++) {
                    int difference = pixels[a + d] - other.pixels[b + d];
                    sum += difference * difference;
                }
            }
            return sum;
        }
    }

    /** Exact nearest neighbours of every query: ids and distances, nearest first. */
    private static final class Truth {
        final int[][] ids;
        final int[][] distances;

        Truth(int queries) {
            ids = new int[queries][WANTED];
            distances = new int[queries][WANTED];
        }
    }

    public static void main(String[] args) throws Exception {
        Path data = null;
        Path cache = null;
        int threads = Math.max(2, Runtime.getRuntime().availableProcessors());
        for (int i = 0; i + 1 < args.length; i += 2) {
            switch (args[i]) {
                case "--data" -> data = Path.of(args[i + 1]);
                case "--cache" -> cache = Path.of(args[i + 1]);
                case "--threads" -> threads = Integer.parseInt(args[i + 1]);
                default -> throw new IllegalArgumentException("unknown option " + args[i]);
            }
        }
        if (data == null) {
            throw new IllegalArgumentException("usage: FashionMnist --data DIR [--cache DIR] [--threads N]");
        }

        Images train = new Images(data.resolve("train-images-idx3-ubyte.gz"));
        Images test = new Images(data.resolve("t10k-images-idx3-ubyte.gz"));
        System.out.printf(Locale.ROOT, "Fashion-MNIST: %d training images, %d test images, %d dimensions%n",
                train.rows, test.rows, train.dimensions);
        System.out.printf(Locale.ROOT, "korvane %s, kernels: %s; %d threads%n", Index.libraryVersion(),
                String.join(" ", Index.hardwareAccelerationAvailable()), threads);

        ExecutorService pool = Executors.newFixedThreadPool(threads);
        try {
            Truth truth = exactNeighbours(train, test, cache, pool, threads);
            try (Index index = Index.builder().metric("l2sq").scalar("f32").dimensions(train.dimensions)
                    .capacity(train.rows).build()) {
                System.out.printf(Locale.ROOT, "index: %s over %s, connectivity %d, %s kernels%n",
                        index.metricKind(), index.scalarKind(), index.connectivity(), index.hardwareAcceleration());

                long start = System.nanoTime();
                AtomicInteger next = new AtomicInteger();
                runOnAll(pool, threads, () -> {
                    for (int row = next.getAndIncrement(); row < train.rows; row = next.getAndIncrement()) {
                        index.add(row, train.vectors[row]);
                    }
                });
                double buildSeconds = (System.nanoTime() - start) / 1e9;
                System.out.printf(Locale.ROOT, "build: %d vectors in %.2f s (%.0f vectors/s) on %d threads%n",
                        index.size(), buildSeconds, train.rows / buildSeconds, threads);

                long[][] found = new long[test.rows][];
                double parallelQps = searchAll(index, test, found, pool, threads);
                double singleQps = searchAll(index, test, found, pool, 1);
                System.out.printf(Locale.ROOT, "search: k = %d, %.0f queries/s on 1 thread, %.0f queries/s on %d"
                        + " threads%n", WANTED, singleQps, parallelQps, threads);

                double recall = recall(train, test, truth, found);
                double mib = 1024.0 * 1024.0;
                System.out.printf(Locale.ROOT, "memory: index %.1f MiB (raw vectors %.1f MiB), process resident"
                        + " %.1f MiB%n", index.memoryUsage() / mib,
                        (double) train.rows * train.dimensions * Float.BYTES / mib, residentBytes() / mib);
                System.out.printf(Locale.ROOT, "recall@%d: %.4f (required %.2f)%n", WANTED, recall, REQUIRED_RECALL);
                if (recall < REQUIRED_RECALL) {
                    System.exit(1);
                }
            }
        } finally {
            pool.shutdownNow();
        }
    }

    /** Searches every test image on {@code threads} threads; returns queries per second. */
    private static double searchAll(Index index, Images test, long[][] found, ExecutorService pool, int threads)
            throws Exception {
        AtomicInteger next = new AtomicInteger();
        long start = System.nanoTime();
        runOnAll(pool, threads, () -> {
            for (int row = next.getAndIncrement(); row < test.rows; row = next.getAndIncrement()) {
                found[row] = index.search(test.vectors[row], WANTED);
            }
        });
        return test.rows / ((System.nanoTime() - start) / 1e9);
    }

    /**
     * The share of returned keys that are true neighbours. A key counts when its exact distance is within the
     * tenth-nearest exact distance, so that images at equal distance are interchangeable.
     */
    private static double recall(Images train, Images test, Truth truth, long[][] found) {
        long hits = 0;
        for (int query = 0; query < test.rows; query++) {
            int limit = truth.distances[query][WANTED - 1];
            for (long key : found[query]) {
                if (test.distance(query, train, (int) key) <= limit) {
                    hits++;
                }
            }
        }
        return hits / (double) (test.rows * WANTED);
    }

    private static Truth exactNeighbours(Images train, Images test, Path cache, ExecutorService pool, int threads)
            throws Exception {
        Path file = cache == null ? null : cache.resolve("fashion_mnist_truth.bin");
        if (file != null && Files.isRegularFile(file)) {
            Truth cached = readTruth(file, train.rows, test.rows);
            if (cached != null) {
                System.out.println("exact neighbours: read from " + file);
                return cached;
            }
        }
        long start = System.nanoTime();
        Truth truth = new Truth(test.rows);
        AtomicInteger next = new AtomicInteger();
        runOnAll(pool, threads, () -> {
            for (int query = next.getAndIncrement(); query < test.rows; query = next.getAndIncrement()) {
                int[] ids = truth.ids[query];
                int[] distances = truth.distances[query];
                java.util.Arrays.fill(distances, Integer.MAX_VALUE);
                for (int row = 0; row < train.rows; row++) {
                    int distance = test.distanceBelow(query, train, row, distances[WANTED - 1]);
                    if (distance >= distances[WANTED - 1]) {
                        continue;
                    }
                    int at = WANTED - 1;
                    while (at > 0 && distances[at - 1] > distance) {
                        distances[at] = distances[at - 1];
                        ids[at] = ids[at - 1];
                        at--;
                    }
                    distances[at] = distance;
                    ids[at] = row;
                }
            }
        });
        System.out.printf(Locale.ROOT, "exact neighbours: brute force in %.1f s on %d threads%n",
                (System.nanoTime() - start) / 1e9, threads);
        if (file != null) {
            writeTruth(file, truth, train.rows);
        }
        return truth;
    }

    private static Truth readTruth(Path file, int trainRows, int testRows) throws IOException {
        try (DataInputStream in = new DataInputStream(new BufferedInputStream(Files.newInputStream(file)))) {
            if (in.readInt() != TRUTH_MAGIC || in.readInt() != trainRows || in.readInt() != testRows
                    || in.readInt() != WANTED) {
                return null;
            }
            Truth truth = new Truth(testRows);
            for (int query = 0; query < testRows; query++) {
                for (int i = 0; i < WANTED; i++) {
                    truth.ids[query][i] = in.readInt();
                    truth.distances[query][i] = in.readInt();
                }
            }
            return truth;
        } catch (java.io.EOFException truncated) {
            return null;
        }
    }

    private static void writeTruth(Path file, Truth truth, int trainRows) throws IOException {
        Files.createDirectories(file.getParent());
        Path partial = file.resolveSibling(file.getFileName() + ".partial");
        try (DataOutputStream out = new DataOutputStream(new java.io.BufferedOutputStream(
                Files.newOutputStream(partial)))) {
            out.writeInt(TRUTH_MAGIC);
            out.writeInt(trainRows);
            out.writeInt(truth.ids.length);
            out.writeInt(WANTED);
            for (int query = 0; query < truth.ids.length; query++) {
                for (int i = 0; i < WANTED; i++) {
                    out.writeInt(truth.ids[query][i]);
                    out.writeInt(truth.distances[query][i]);
                }
            }
        }
        Files.move(partial, file, StandardCopyOption.REPLACE_EXISTING, StandardCopyOption.ATOMIC_MOVE);
    }

    /** Runs the same task on {@code threads} pool threads and waits for all, rethrowing the first failure. */
    private static void runOnAll(ExecutorService pool, int threads, Runnable task) throws Exception {
        List<Future<?>> running = new ArrayList<>();
        for (int t = 0; t < threads; t++) {
            running.add(pool.submit(task));
        }
        for (Future<?> future : running) {
            future.get();
        }
    }

    /** Resident memory of this process, from /proc; 0 where that is unavailable. */
    private static long residentBytes() {
        try (InputStream in = Files.newInputStream(Path.of("/proc/self/status"))) {
            for (String line : new String(in.readAllBytes(), java.nio.charset.StandardCharsets.US_ASCII).split("\n")) {
                if (line.startsWith("VmRSS:")) {
                    return Long.parseLong(line.replaceAll("[^0-9]", "")) * 1024;
                }
            }
        } catch (IOException | NumberFormatException unavailable) {
            return 0;
        }
        return 0;
    }
}
