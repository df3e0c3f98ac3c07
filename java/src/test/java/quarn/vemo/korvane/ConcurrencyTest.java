package quarn.vemo.korvane;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import java.util.Random;
import java.util.concurrent.Callable;
import java.util.concurrent.CountDownLatch;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.Future;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicBoolean;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/**
 * Eight Java threads on one index with the default number of working contexts (one per hardware thread, fewer than
 * eight here), checked against what a single thread put in.
 */
class ConcurrencyTest {
    private static final int THREADS = 8;
    private static final int PER_THREAD = 300;
    private static final int DIMENSIONS = 24;

    private final ExecutorService pool = Executors.newFixedThreadPool(THREADS);

    @TempDir
    Path folder;

    @AfterEach
    void stopPool() throws InterruptedException {
        pool.shutdownNow();
        assertTrue(pool.awaitTermination(60, TimeUnit.SECONDS));
    }

    private static float[] vectorOf(long key) {
        return Fixtures.random(new Random(key), 1, DIMENSIONS);
    }

    /** Runs {@code task(thread)} on every thread at once and rethrows the first failure. */
    private void onAllThreads(ThreadTask task) throws Exception {
        CountDownLatch start = new CountDownLatch(1);
        List<Future<Void>> running = new ArrayList<>();
        for (int t = 0; t < THREADS; t++) {
            int thread = t;
            Callable<Void> call = () -> {
                start.await();
                task.run(thread);
                return null;
            };
            running.add(pool.submit(call));
        }
        start.countDown();
        for (Future<Void> future : running) {
            future.get(120, TimeUnit.SECONDS);
        }
    }

    @FunctionalInterface
    private interface ThreadTask {
        void run(int thread) throws Exception;
    }

    @Test
    void addingAndSearchingAtOnceLosesNothing() throws Exception {
        try (Index index = Fixtures.l2(DIMENSIONS, THREADS * PER_THREAD)) {
            onAllThreads(thread -> {
                for (int i = 0; i < PER_THREAD; i++) {
                    long key = thread * 1000L + i;
                    index.add(key, vectorOf(key));
                    for (long found : index.search(vectorOf(key), 5)) {
                        assertTrue(found % 1000 < PER_THREAD && found / 1000 < THREADS, () -> "stray key " + found);
                    }
                }
            });
            assertEquals(THREADS * PER_THREAD, index.size());
            int selfFound = 0;
            for (int thread = 0; thread < THREADS; thread++) {
                for (int i = 0; i < PER_THREAD; i++) {
                    long key = thread * 1000L + i;
                    assertArrayEquals(vectorOf(key), index.get(key));
                    selfFound += index.search(vectorOf(key), 1)[0] == key ? 1 : 0;
                }
            }
            assertTrue(selfFound >= THREADS * PER_THREAD * 99 / 100, "found itself: " + selfFound);
        }
    }

    @Test
    void removingRenamingAndReadingAtOnce() throws Exception {
        try (Index index = Fixtures.l2(DIMENSIONS, THREADS * PER_THREAD)) {
            for (int thread = 0; thread < THREADS; thread++) {
                for (int i = 0; i < PER_THREAD; i++) {
                    long key = thread * 1000L + i;
                    index.add(key, vectorOf(key));
                }
            }
            onAllThreads(thread -> {
                for (int i = 0; i < PER_THREAD; i++) {
                    long key = thread * 1000L + i;
                    if (i % 3 == 0) {
                        assertTrue(index.remove(key));
                    } else if (i % 3 == 1) {
                        assertTrue(index.rename(key, key + 100_000));
                        assertArrayEquals(vectorOf(key), index.get(key + 100_000));
                    } else {
                        assertArrayEquals(vectorOf(key), index.get(key));
                    }
                    // Removed entries must vanish from results, never show up under the key that marks them.
                    for (long found : index.search(vectorOf(key), 3)) {
                        assertTrue(found != -1, "search reported the key of removed entries");
                    }
                }
            });
            assertEquals(THREADS * (PER_THREAD - PER_THREAD / 3), index.size());
        }
    }

    @Test
    void savingWhileOthersAddWritesAConsistentFile() throws Exception {
        Path file = folder.resolve("busy.index");
        try (Index index = Fixtures.l2(DIMENSIONS, THREADS * PER_THREAD)) {
            onAllThreads(thread -> {
                for (int i = 0; i < PER_THREAD; i++) {
                    long key = thread * 1000L + i;
                    if (thread == 0 && i % 100 == 50) {
                        index.save(file.toString());
                    } else {
                        index.add(key, vectorOf(key));
                    }
                }
            });
        }
        try (Index loaded = Index.loadFile(file.toString())) {
            long checked = 0;
            for (int thread = 0; thread < THREADS; thread++) {
                for (int i = 0; i < PER_THREAD; i++) {
                    long key = thread * 1000L + i;
                    float[] stored = new float[DIMENSIONS];
                    try {
                        loaded.getInto(key, stored);
                    } catch (IllegalArgumentException absent) {
                        continue;
                    }
                    assertArrayEquals(vectorOf(key), stored);
                    checked++;
                }
            }
            assertEquals(loaded.size(), checked);
        }
    }

    @Test
    void closingWhileOthersWorkOnlyEverThrowsIllegalState() throws Exception {
        Index index = Fixtures.l2(DIMENSIONS, THREADS * PER_THREAD);
        AtomicBoolean sawClosed = new AtomicBoolean();
        onAllThreads(thread -> {
            for (int i = 0; i < PER_THREAD; i++) {
                long key = thread * 1000L + i;
                if (thread == 0 && i == PER_THREAD / 4) {
                    index.close();
                }
                try {
                    index.add(key, vectorOf(key));
                    index.search(vectorOf(key), 3);
                    index.size();
                } catch (IllegalStateException closed) {
                    assertEquals("The index is closed", closed.getMessage());
                    sawClosed.set(true);
                }
            }
        });
        assertTrue(index.isClosed());
        assertTrue(sawClosed.get());
    }
}
