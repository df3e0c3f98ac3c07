package quarn.vemo.korvane;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static quarn.vemo.korvane.Fixtures.assertFails;
import static quarn.vemo.korvane.Fixtures.filled;

import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.Random;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.CsvSource;

/** Saving, loading and viewing files. */
class PersistenceTest {
    private static final int DIMENSIONS = 16;
    private static final int COUNT = 300;
    private static final long REMOVED = 7;

    @TempDir
    Path folder;

    private Path saved;
    private float[][] queries;

    /** A saved f32 cos index of 300 random vectors under keys 0-299, with key 7 removed. */
    @BeforeEach
    void saveAnIndex() {
        Random random = new Random(42);
        queries = new float[10][];
        for (int i = 0; i < queries.length; i++) {
            queries[i] = Fixtures.random(random, 1, DIMENSIONS);
        }
        saved = folder.resolve("saved.index");
        try (Index index = Index.builder().metric("cos").dimensions(DIMENSIONS).capacity(COUNT).build()) {
            index.add(0, Fixtures.random(random, COUNT, DIMENSIONS));
            index.remove(REMOVED);
            index.save(saved.toString());
        }
    }

    private long[][] answers(Index index) {
        long[][] answers = new long[queries.length][];
        for (int i = 0; i < queries.length; i++) {
            answers[i] = index.search(queries[i], 10);
        }
        return answers;
    }

    private void assertLikeTheSaved(Index index, long[][] expected) {
        assertEquals(COUNT - 1, index.size());
        assertEquals(DIMENSIONS, index.dimensions());
        assertEquals("cos", index.metricKind());
        assertEquals("f32", index.scalarKind());
        assertArrayEquals(expected, answers(index));
        assertFails(IllegalArgumentException.class, "key not found", () -> index.get(REMOVED));
    }

    @Test
    void loadedAndViewedFilesAnswerLikeEachOther() {
        long[][] expected;
        try (Index loaded = Index.loadFile(saved.toString())) {
            expected = answers(loaded);
            assertLikeTheSaved(loaded, expected);
            float[] vector = loaded.get(3);
            try (Index viewed = Index.viewFile(saved.toString())) {
                assertLikeTheSaved(viewed, expected);
                assertArrayEquals(vector, viewed.get(3));
            }
        }
    }

    @Test
    void aViewedFileRefusesChanges() {
        try (Index viewed = Index.viewFile(saved.toString())) {
            // The removed entry's slot is free, yet the mapping is read-only.
            assertFails(Error.class, "Can't add to an immutable index", () -> viewed.add(1000, filled(DIMENSIONS, 1)));
            assertFails(Error.class, "Can't add to an immutable index",
                    () -> viewed.add(1000, Fixtures.directFloats(filled(DIMENSIONS, 1))));
            assertFails(Error.class, "Can't remove from an immutable index", () -> viewed.remove(3));
            assertFails(Error.class, "Can't rename in an immutable index", () -> viewed.rename(3, 1000));
            assertEquals(COUNT - 1, viewed.size());
            assertArrayEquals(new long[] {3}, viewed.search(viewed.get(3), 1));
        }
    }

    @Test
    void loadReplacesTheContentAndTheIndexCanGrowAfterReserving() {
        try (Index index = Index.builder().metric("l2sq").scalar("f64").dimensions(3).capacity(10).build()) {
            index.add(1, new double[] {1, 2, 3});
            index.load(saved.toString());
            long[][] expected = answers(index);
            assertLikeTheSaved(index, expected);
            index.reserve(COUNT + 10);
            index.add(REMOVED, filled(DIMENSIONS, 1));
            index.add(5000, filled(DIMENSIONS, 2));
            assertEquals(COUNT + 1, index.size());
            index.view(saved.toString());
            assertLikeTheSaved(index, expected);
        }
    }

    @Test
    void savingOverAViewedFileKeepsTheViewIntact() {
        try (Index viewed = Index.viewFile(saved.toString()); Index other = Fixtures.l2(DIMENSIONS, 10)) {
            long[][] expected = answers(viewed);
            other.add(1, filled(DIMENSIONS, 1));
            other.save(saved.toString());
            assertArrayEquals(expected, answers(viewed));
            try (Index reloaded = Index.loadFile(saved.toString())) {
                assertEquals(1, reloaded.size());
            }
        }
    }

    @Test
    void missingFiles() {
        String missing = folder.resolve("missing.index").toString();
        assertFails(Error.class, "No such file or directory", () -> Index.loadFile(missing));
        assertFails(Error.class, "No such file or directory", () -> Index.viewFile(missing));
        try (Index index = Fixtures.l2(2, 10)) {
            index.add(1, filled(2, 1));
            assertFails(Error.class, "No such file or directory", () -> index.save(folder.resolve("no/such").toString()));
            // A file that cannot be opened leaves the index as it was.
            assertFails(Error.class, "No such file or directory", () -> index.load(missing));
            assertArrayEquals(new long[] {1}, index.search(filled(2, 1), 1));
            index.add(2, filled(2, 2));
        }
    }

    @ParameterizedTest
    @CsvSource(value = {
        "load | 4 | Failed to read 32-bit dimensions of the matrix",
        "view | 4 | File is corrupted and lacks matrix dimensions",
        "load | -1 | Failed to pull nodes from the stream",
        "view | -1 | File is corrupted and can't fit all the nodes",
    }, delimiter = '|')
    void truncatedFiles(String how, int keptBytes, String message) throws IOException {
        byte[] bytes = Files.readAllBytes(saved);
        Path truncated = folder.resolve("truncated.index");
        Files.write(truncated, java.util.Arrays.copyOf(bytes, keptBytes >= 0 ? keptBytes : bytes.length - 1));
        assertFails(Error.class, message,
                () -> (how.equals("load") ? Index.loadFile(truncated.toString()) : Index.viewFile(truncated.toString()))
                        .close());
    }

    @Test
    void failedLoadOrViewLocksTheIndexUntilALoadSucceeds() throws IOException {
        byte[] bytes = Files.readAllBytes(saved);
        int magic = indexOf(bytes, "korvane".getBytes(StandardCharsets.US_ASCII));
        bytes[magic] ^= 1;
        Path damaged = folder.resolve("damaged.index");
        Files.write(damaged, bytes);
        try (Index index = Fixtures.l2(DIMENSIONS, 10)) {
            index.add(1, filled(DIMENSIONS, 1));
            for (boolean view : new boolean[] {false, true}) {
                assertFails(Error.class, "Magic header mismatch - the file isn't an index",
                        () -> {
                            if (view) {
                                index.view(damaged.toString());
                            } else {
                                index.load(damaged.toString());
                            }
                        });
                String lost = "The index lost its content to a failed load or view; load or view a file";
                assertFails(IllegalStateException.class, lost, () -> index.search(filled(DIMENSIONS, 1), 1));
                assertFails(IllegalStateException.class, lost, () -> index.add(2, filled(DIMENSIONS, 1)));
                assertFails(IllegalStateException.class, lost, () -> index.get(1));
                assertFails(IllegalStateException.class, lost, () -> index.remove(1));
                assertFails(IllegalStateException.class, lost, () -> index.rename(1, 2));
                assertFails(IllegalStateException.class, lost, () -> index.reserve(100));
                assertFails(IllegalStateException.class, lost, () -> index.save(folder.resolve("x").toString()));
                index.size();
            }
            index.load(saved.toString());
            assertLikeTheSaved(index, answers(index));
        }
    }

    private static int indexOf(byte[] haystack, byte[] needle) {
        outer:
        for (int i = 0; i + needle.length <= haystack.length; i++) {
            for (int j = 0; j < needle.length; j++) {
                if (haystack[i + j] != needle[j]) {
                    continue outer;
                }
            }
            return i;
        }
        throw new AssertionError("magic not found");
    }
}
