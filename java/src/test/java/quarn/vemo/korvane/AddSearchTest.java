package quarn.vemo.korvane;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static quarn.vemo.korvane.Fixtures.assertFails;
import static quarn.vemo.korvane.Fixtures.directBytes;
import static quarn.vemo.korvane.Fixtures.directDoubles;
import static quarn.vemo.korvane.Fixtures.directFloats;
import static quarn.vemo.korvane.Fixtures.directLongs;
import static quarn.vemo.korvane.Fixtures.filled;
import static quarn.vemo.korvane.Fixtures.ladder;

import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import java.nio.FloatBuffer;
import java.nio.LongBuffer;
import org.junit.jupiter.api.Test;

/** Adding vectors from arrays and buffers, and searching with every query form. */
class AddSearchTest {
    @Test
    void batchAddsUnderConsecutiveKeys() {
        try (Index index = Fixtures.l2(128, 10)) {
            index.add(10, ladder(2, 128));
            assertEquals(2, index.size());
            assertArrayEquals(filled(128, 0), index.get(10));
            assertArrayEquals(filled(128, 1), index.get(11));
            index.add(20, new float[0]);
            assertEquals(2, index.size());
        }
    }

    @Test
    void floatingPointFormsAddAndSearch() {
        try (Index index = Fixtures.l2(3, 10)) {
            index.add(1, new float[] {1, 1, 1});
            index.add(2, new double[] {2, 2, 2});
            index.add(3, directFloats(3, 3, 3));
            index.add(4, directDoubles(4, 4, 4));
            assertEquals(4, index.size());
            for (int key = 1; key <= 4; key++) {
                long[] expected = {key};
                assertArrayEquals(expected, index.search(new float[] {key, key, key}, 1));
                assertArrayEquals(expected, index.search(new double[] {key, key, key}, 1));
                assertArrayEquals(expected, index.search(directFloats(key, key, key), 1));
                assertArrayEquals(expected, index.search(directDoubles(key, key, key), 1));
            }
        }
    }

    @Test
    void byteFormsAddAndSearch() {
        try (Index index = Index.builder().metric("l2sq").scalar("i8").dimensions(3).capacity(10).build()) {
            index.add(1, new byte[] {1, 1, 1, 2, 2, 2});
            index.add(3, directBytes((byte) 3, (byte) 3, (byte) 3));
            assertEquals(3, index.size());
            for (byte key = 1; key <= 3; key++) {
                long[] expected = {key};
                assertArrayEquals(expected, index.search(new byte[] {key, key, key}, 1));
                assertArrayEquals(expected, index.search(directBytes(key, key, key), 1));
            }
        }
    }

    @Test
    void lengthNotAMultipleOfTheDimensionsAddsNothing() {
        try (Index index = Fixtures.l2(128, 10)) {
            assertFails(IllegalArgumentException.class, "Vector length must be a multiple of dimensions",
                    () -> index.add(1, new float[130]));
            assertFails(IllegalArgumentException.class, "Vector length must be a multiple of dimensions",
                    () -> index.add(1, new double[127]));
            assertFails(IllegalArgumentException.class, "Vector length must be a multiple of dimensions",
                    () -> index.add(1, new byte[1]));
            assertEquals(0, index.size());
        }
    }

    @Test
    void duplicateInsideABatchKeepsTheVectorsBeforeIt() {
        try (Index index = Fixtures.l2(2, 10)) {
            index.add(11, filled(2, 9));
            assertFails(Error.class, "Duplicate keys not allowed in high-level wrappers",
                    () -> index.add(10, ladder(3, 2)));
            assertEquals(2, index.size());
            assertArrayEquals(filled(2, 0), index.get(10));
            assertArrayEquals(filled(2, 9), index.get(11));
        }
    }

    @Test
    void exhaustedCapacityStopsTheBatch() {
        try (Index index = Fixtures.l2(1, 0)) {
            index.reserve(1, 1, 1);
            long capacity = index.capacity();
            assertFails(Error.class, "Reserve capacity ahead of insertions!",
                    () -> index.add(0, new float[(int) capacity + 1]));
            assertEquals(capacity, index.size());
        }
    }

    @Test
    void theReservedKeyIsRefusedBeforeAnythingIsAdded() {
        String message = "Key -1 (all bits set) is reserved for removed entries";
        try (Index index = Fixtures.l2(2, 10)) {
            assertFails(IllegalArgumentException.class, message, () -> index.add(-1, filled(2, 1)));
            assertFails(IllegalArgumentException.class, message, () -> index.add(-3, ladder(3, 2)));
            assertFails(IllegalArgumentException.class, message, () -> index.add(-1, directFloats(1, 1)));
            assertEquals(0, index.size());
            index.add(-4, ladder(3, 2));
            assertArrayEquals(new long[] {-2, -3, -4}, index.search(filled(2, 2), 3));
        }
    }

    @Test
    void bufferFormsCheckDirectnessLengthAndByteOrder() {
        try (Index index = Fixtures.l2(4, 10)) {
            assertFails(IllegalArgumentException.class, "Buffer must be direct ByteBuffer",
                    () -> index.add(1, FloatBuffer.wrap(filled(4, 1))));
            assertFails(IllegalArgumentException.class, "Buffer must be direct ByteBuffer",
                    () -> index.add(1, ByteBuffer.wrap(new byte[4])));
            assertFails(IllegalArgumentException.class, "Vector dimensions mismatch",
                    () -> index.add(1, directBytes(new byte[3])));
            assertFails(IllegalArgumentException.class, "Vector dimensions mismatch",
                    () -> index.add(1, directBytes(new byte[5])));
            assertFails(IllegalArgumentException.class, "Vector dimensions mismatch",
                    () -> index.add(1, directFloats(1, 2, 3)));
            ByteOrder foreign = ByteOrder.nativeOrder() == ByteOrder.BIG_ENDIAN ? ByteOrder.LITTLE_ENDIAN
                    : ByteOrder.BIG_ENDIAN;
            FloatBuffer swapped = ByteBuffer.allocateDirect(16).order(foreign).asFloatBuffer();
            assertFails(IllegalArgumentException.class, "vector must be in the native byte order",
                    () -> index.add(1, swapped));
            assertFails(IllegalArgumentException.class, "Buffer must be direct ByteBuffer",
                    () -> index.search(FloatBuffer.wrap(filled(4, 1)), 1));
            assertEquals(0, index.size());
        }
    }

    @Test
    void buffersAreReadFromTheirPositionWhichStaysPut() {
        try (Index index = Fixtures.l2(2, 10)) {
            FloatBuffer vectors = directFloats(5, 5, 7, 7);
            vectors.position(2);
            index.add(7, vectors);
            assertEquals(2, vectors.position());
            assertArrayEquals(filled(2, 7), index.get(7));
            vectors.position(0).limit(2);
            index.add(5, vectors);
            vectors.limit(4).position(2);
            assertArrayEquals(new long[] {7, 5}, index.search(vectors, 2));
            assertEquals(2, vectors.position());
        }
    }

    @Test
    void searchCountsAndOrder() {
        try (Index index = Fixtures.l2(4, 10)) {
            assertArrayEquals(new long[0], index.search(filled(4, 0), 10));
            index.add(100, ladder(3, 4));
            assertArrayEquals(new long[0], index.search(filled(4, 0), 0));
            assertArrayEquals(new long[] {102, 101, 100}, index.search(filled(4, 3), 10));
            assertArrayEquals(new long[] {100, 101}, index.search(filled(4, -1), 2));
            assertArrayEquals(new long[] {100, 101, 102}, index.search(filled(4, 0), Long.MAX_VALUE));
        }
    }

    @Test
    void wideQueriesAndLongResultsComeThroughWhole() {
        // 1,500 dimensions and 300 keys: more than the native side holds without allocating, for every form.
        int dimensions = 1500;
        int count = 300;
        try (Index index = Fixtures.l2(dimensions, count)) {
            index.add(0, ladder(count, dimensions));
            long[] descending = new long[count];
            for (int i = 0; i < count; i++) {
                descending[i] = count - 1 - i;
            }
            assertArrayEquals(descending, index.search(filled(dimensions, count - 1), count));
            // Only the first `dimensions` elements of a longer query are read.
            float[] floats = java.util.Arrays.copyOf(filled(dimensions, 7.25f), dimensions + 64);
            java.util.Arrays.fill(floats, dimensions, floats.length, 1e6f);
            double[] doubles = new double[dimensions + 64];
            java.util.Arrays.fill(doubles, 0, dimensions, 7.25);
            java.util.Arrays.fill(doubles, dimensions, doubles.length, -1e6);
            assertArrayEquals(new long[] {7, 8, 6}, index.search(floats, 3));
            assertArrayEquals(new long[] {7, 8, 6}, index.search(doubles, 3));
        }
    }

    @Test
    void searchChecksItsArguments() {
        try (Index index = Fixtures.l2(4, 10)) {
            index.add(1, filled(4, 1));
            assertFails(IllegalArgumentException.class, "Query is shorter than the dimensions",
                    () -> index.search(new float[3], 1));
            assertFails(IllegalArgumentException.class, "Query is shorter than the dimensions",
                    () -> index.search(new byte[0], 1));
            assertFails(IllegalArgumentException.class, "Query is shorter than the dimensions",
                    () -> index.search(directDoubles(1, 2, 3), 1));
            assertFails(IllegalArgumentException.class, "count must not be negative",
                    () -> index.search(new float[4], -1));
            assertFails(IllegalArgumentException.class, "query must not be null",
                    () -> index.search((double[]) null, 1));
            assertArrayEquals(new long[] {1}, index.search(new float[5], 1));
        }
    }

    @Test
    void searchIntoWritesAtThePositionAndAdvancesIt() {
        try (Index index = Fixtures.l2(2, 10)) {
            index.add(100, ladder(3, 2));
            LongBuffer results = directLongs(8);
            assertEquals(2, index.searchInto(directFloats(0, 0), results, 2));
            assertEquals(2, results.position());
            assertEquals(3, index.searchInto(directDoubles(2, 2), results, 5));
            assertEquals(5, results.position());
            // Bytes are dequantised into the f32 index: 127 stands for 1.
            assertEquals(1, index.searchInto(directBytes((byte) 127, (byte) 127), results, 1));
            assertEquals(6, results.position());
            long[] written = new long[6];
            results.flip().get(written);
            assertArrayEquals(new long[] {100, 101, 102, 101, 100, 101}, written);
        }
    }

    @Test
    void searchIntoChecksBothBuffers() {
        try (Index index = Fixtures.l2(2, 10)) {
            index.add(1, filled(2, 1));
            assertFails(IllegalArgumentException.class, "Query buffer must be direct ByteBuffer",
                    () -> index.searchInto(FloatBuffer.wrap(filled(2, 1)), directLongs(1), 1));
            assertFails(IllegalArgumentException.class, "Results buffer must be direct ByteBuffer",
                    () -> index.searchInto(directFloats(1, 1), LongBuffer.allocate(1), 1));
            assertFails(IllegalArgumentException.class, "results has room for 2 keys, not 3",
                    () -> index.searchInto(directFloats(1, 1), directLongs(2), 3));
            assertFails(IllegalArgumentException.class, "results must be writable",
                    () -> index.searchInto(directFloats(1, 1), directLongs(2).asReadOnlyBuffer(), 1));
            LongBuffer bigEndian = ByteBuffer.allocateDirect(16).order(ByteOrder.BIG_ENDIAN).asLongBuffer();
            if (ByteOrder.nativeOrder() != ByteOrder.BIG_ENDIAN) {
                assertFails(IllegalArgumentException.class, "results must be in the native byte order",
                        () -> index.searchInto(directFloats(1, 1), bigEndian, 1));
            }
        }
    }

    @Test
    void zeroDimensionsHoldNoVectors() {
        try (Index index = Fixtures.l2(0, 10)) {
            assertEquals(0, index.dimensions());
            index.add(1, new float[0]);
            assertEquals(0, index.size());
            assertFails(IllegalArgumentException.class, "Vector length must be a multiple of dimensions",
                    () -> index.add(1, new float[1]));
        }
    }
}
