package quarn.vemo.korvane;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.nio.file.Path;
import java.util.ArrayList;
import java.util.HashSet;
import java.util.List;
import java.util.Random;
import java.util.Set;
import java.util.concurrent.CountDownLatch;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.Future;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicLong;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/**
 * Many threads adding, searching, removing, renaming and reading back on one index for a few seconds, while another
 * saves it, reserves room and reads the saved files back; then closes racing with all of them. Each worker owns its
 * keys and keeps its own record of which are live, so that nothing a worker put in may go missing.
 *
 * <p>A key carries the thread that owns it in its top bits, the number of times it was renamed in the middle bits and
 * the entry's identity in the low bits; the vector depends on the identity only, so any key found anywhere tells what
 * vector it must hold.
 */
class StressTest {
    private static final int WORKERS = 6;
    private static final int LIVE_PER_WORKER = 150;
    private static final int DIMENSIONS = 12;
    private static final long RUN_MILLIS = 3000;
    private static final long RENAMED = 1L << 24;
    private static final long IDENTITY_MASK = RENAMED - 1;
    private static final long RENAMES_MASK = ((1L << 40) - 1) & ~IDENTITY_MASK;

    private final ExecutorService pool = Executors.newCachedThreadPool();

    @TempDir
    Path folder;

    @AfterEach
    void stopPool() throws InterruptedException {
        pool.shutdownNow();
        assertTrue(pool.awaitTermination(60, TimeUnit.SECONDS));
    }

    private static float[] vectorOf(long key) {
        return Fixtures.random(new Random(key & ~RENAMES_MASK), 1, DIMENSIONS);
    }

    private static long keyOf(int worker, long identity) {
        return ((long) worker << 40) | identity;
    }

    private static boolean isWorkerKey(long key) {
        return key >>> 40 < WORKERS && key >= 0;
    }

    /** One worker: a random mix of operations on its own keys until the deadline or until the index is closed. */
    private static final class Worker {
        final int id;
        final Index index;
        final Random random;
        final List<Long> live = new ArrayList<>();
        final Set<Long> gone = new HashSet<>();
        long nextIdentity = 1;

        Worker(int id, Index index) {
            this.id = id;
            this.index = index;
            this.random = new Random(id * 7919L + 1);
        }

        long randomLive() {
            return live.get(random.nextInt(live.size()));
        }

        /** Returns normally at the deadline; a closed index ends the run with IllegalStateException. */
        void run(long deadline) {
            while (System.nanoTime() < deadline) {
                int choice = random.nextInt(10);
                if (live.isEmpty() || (choice < 3 && live.size() < LIVE_PER_WORKER)) {
                    long key = keyOf(id, nextIdentity++);
                    index.add(key, vectorOf(key));
                    live.add(key);
                } else if (choice < 4) {
                    long key = randomLive();
                    assertTrue(index.remove(key), () -> "live key " + key + " could not be removed");
                    live.remove(Long.valueOf(key));
                    gone.add(key);
                } else if (choice < 5) {
                    long key = randomLive();
                    long renamed = key + RENAMED;
                    assertTrue(index.rename(key, renamed), () -> "live key " + key + " could not be renamed");
                    live.set(live.indexOf(key), renamed);
                    gone.add(key);
                } else if (choice < 7) {
                    long key = randomLive();
                    assertArrayEquals(vectorOf(key), index.get(key), () -> "vector of " + key);
                } else {
                    for (long found : index.search(vectorOf(randomLive()), 5)) {
                        assertTrue(isWorkerKey(found), () -> "search returned the stray key " + found);
                    }
                }
            }
        }

        /** Every key this worker holds live is there with its vector; the ones it removed or renamed are not. */
        void verify() {
            for (long key : live) {
                assertArrayEquals(vectorOf(key), index.get(key), () -> "live key " + key + " lost");
            }
            for (long key : gone) {
                if (!live.contains(key)) {
                    assertThrows(IllegalArgumentException.class, () -> index.get(key), () -> "key " + key + " is back");
                }
            }
        }
    }

    /** Every key a search of a saved file returns holds the vector its identity calls for. */
    private static void checkSavedFile(Index saved, Random random) {
        for (int query = 0; query < 20; query++) {
            long probe = keyOf(random.nextInt(WORKERS), 1 + random.nextInt(2 * LIVE_PER_WORKER));
            for (long found : saved.search(vectorOf(probe), 10)) {
                assertTrue(isWorkerKey(found), () -> "saved file holds the stray key " + found);
                assertArrayEquals(vectorOf(found), saved.get(found), () -> "saved vector of " + found);
            }
        }
    }

    private List<Future<Void>> startWorkers(List<Worker> workers, long deadline, CountDownLatch start) {
        List<Future<Void>> running = new ArrayList<>();
        for (Worker worker : workers) {
            running.add(pool.submit(() -> {
                start.await();
                try {
                    worker.run(deadline);
                } catch (IllegalStateException closed) {
                    assertEquals("The index is closed", closed.getMessage());
                }
                return null;
            }));
        }
        return running;
    }

    @Test
    void mixedWorkloadWithSavesLosesNoLiveKey() throws Exception {
        long capacity = WORKERS * (LIVE_PER_WORKER + 8L);
        try (Index index = Fixtures.l2(DIMENSIONS, capacity)) {
            List<Worker> workers = new ArrayList<>();
            for (int w = 0; w < WORKERS; w++) {
                workers.add(new Worker(w, index));
            }
            CountDownLatch start = new CountDownLatch(1);
            long deadline = System.nanoTime() + TimeUnit.MILLISECONDS.toNanos(RUN_MILLIS);
            List<Future<Void>> running = startWorkers(workers, deadline, start);
            AtomicLong saves = new AtomicLong();
            running.add(pool.submit(() -> {
                start.await();
                Random random = new Random(99);
                String path = folder.resolve("busy.index").toString();
                while (System.nanoTime() < deadline) {
                    index.save(path);
                    saves.incrementAndGet();
                    index.reserve(capacity + saves.get());
                    try (Index saved = saves.get() % 2 == 0 ? Index.loadFile(path) : Index.viewFile(path)) {
                        checkSavedFile(saved, random);
                    }
                }
                return null;
            }));
            start.countDown();
            for (Future<Void> future : running) {
                future.get(120, TimeUnit.SECONDS);
            }

            long expected = 0;
            for (Worker worker : workers) {
                worker.verify();
                expected += worker.live.size();
            }
            assertEquals(expected, index.size(), "live count");
            assertTrue(saves.get() > 0);
        }
    }

    @Test
    void closingRacesWithEveryOperation() throws Exception {
        Index index = Fixtures.l2(DIMENSIONS, WORKERS * (LIVE_PER_WORKER + 8L));
        List<Worker> workers = new ArrayList<>();
        for (int w = 0; w < WORKERS; w++) {
            workers.add(new Worker(w, index));
        }
        CountDownLatch start = new CountDownLatch(1);
        long deadline = System.nanoTime() + TimeUnit.SECONDS.toNanos(30);
        List<Future<Void>> running = startWorkers(workers, deadline, start);
        String path = folder.resolve("closing.index").toString();
        index.save(path);
        running.add(pool.submit(() -> {
            start.await();
            try {
                while (true) {
                    index.save(path);
                }
            } catch (IllegalStateException closed) {
                assertEquals("The index is closed", closed.getMessage());
            }
            return null;
        }));
        for (int closer = 0; closer < 2; closer++) {
            running.add(pool.submit(() -> {
                start.await();
                Thread.sleep(300);
                index.close();
                return null;
            }));
        }
        start.countDown();
        for (Future<Void> future : running) {
            future.get(120, TimeUnit.SECONDS);
        }
        assertTrue(index.isClosed());
        assertThrows(IllegalStateException.class, index::size);
        // What the saver wrote last is a whole index file.
        try (Index saved = Index.loadFile(path)) {
            checkSavedFile(saved, new Random(5));
        }
    }
}
