package quarn.vemo.korvane;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static quarn.vemo.korvane.Fixtures.assertFails;
import static quarn.vemo.korvane.Fixtures.filled;

import org.junit.jupiter.api.Test;

/** Reading vectors back, removing and renaming keys. */
class RetrievalTest {
    @Test
    void getReturnsStoredValuesInEveryOutputType() {
        try (Index index = Fixtures.l2(3, 10)) {
            float[] stored = {0.1f, -2.5f, 3e-8f};
            index.add(5, stored);
            assertArrayEquals(stored, index.get(5));
            float[] floats = new float[4];
            floats[3] = 42;
            index.getInto(5, floats);
            assertArrayEquals(new float[] {0.1f, -2.5f, 3e-8f, 42}, floats);
            double[] doubles = new double[3];
            index.getInto(5, doubles);
            assertArrayEquals(new double[] {0.1f, -2.5f, 3e-8f}, doubles);
            byte[] bytes = new byte[3];
            index.getInto(5, bytes);
            // Quantised to the unit direction scaled to 127.
            assertArrayEquals(new byte[] {5, -126, 0}, bytes);
        }
    }

    @Test
    void getConvertsFromTheStoredType() {
        try (Index index = Index.builder().scalar("i8").dimensions(2).capacity(4).build()) {
            index.add(1, new float[] {3, 4});
            assertArrayEquals(new float[] {76 * (1f / 127), 101 * (1f / 127)}, index.get(1));
            byte[] bytes = new byte[2];
            index.getInto(1, bytes);
            assertArrayEquals(new byte[] {76, 101}, bytes);
        }
        try (Index index = Index.builder().scalar("f16").dimensions(2).capacity(4).build()) {
            index.add(1, new double[] {1.0 / 3, 65504});
            double[] back = new double[2];
            index.getInto(1, back);
            assertArrayEquals(new double[] {0.333251953125, 65504}, back);
        }
    }

    @Test
    void absentKeyLeavesOutputsUnchanged() {
        try (Index index = Fixtures.l2(2, 10)) {
            index.add(1, filled(2, 1));
            assertFails(IllegalArgumentException.class, "key not found", () -> index.get(2));
            float[] floats = {7, 7};
            assertFails(IllegalArgumentException.class, "key not found", () -> index.getInto(2, floats));
            assertArrayEquals(new float[] {7, 7}, floats);
            double[] doubles = {8, 8};
            assertFails(IllegalArgumentException.class, "key not found", () -> index.getInto(2, doubles));
            assertArrayEquals(new double[] {8, 8}, doubles);
            byte[] bytes = {9, 9};
            assertFails(IllegalArgumentException.class, "key not found", () -> index.getInto(2, bytes));
            assertArrayEquals(new byte[] {9, 9}, bytes);
        }
    }

    @Test
    void outputsShorterThanTheDimensionsAreRefused() {
        try (Index index = Fixtures.l2(4, 10)) {
            index.add(1, filled(4, 1));
            String message = "Output is shorter than the dimensions";
            assertFails(IllegalArgumentException.class, message, () -> index.getInto(1, new float[3]));
            assertFails(IllegalArgumentException.class, message, () -> index.getInto(1, new double[0]));
            assertFails(IllegalArgumentException.class, message, () -> index.getInto(1, new byte[3]));
            assertFails(IllegalArgumentException.class, "output must not be null",
                    () -> index.getInto(1, (float[]) null));
        }
    }

    @Test
    void removeHidesTheKeyAndFreesItsPlace() {
        try (Index index = Fixtures.l2(2, 10)) {
            index.add(1, Fixtures.ladder(3, 2));
            long capacity = index.capacity();
            assertTrue(index.remove(2));
            assertFalse(index.remove(2));
            assertFalse(index.remove(99));
            assertEquals(2, index.size());
            assertFails(IllegalArgumentException.class, "key not found", () -> index.get(2));
            assertArrayEquals(new long[] {1, 3}, index.search(filled(2, 0.9f), 10));
            index.add(2, filled(2, 1));
            assertEquals(3, index.size());
            assertEquals(capacity, index.capacity());
            assertArrayEquals(new long[] {2}, index.search(filled(2, 1), 1));
        }
    }

    @Test
    void renameMovesTheEntry() {
        try (Index index = Fixtures.l2(2, 10)) {
            index.add(1, Fixtures.ladder(2, 2));
            assertTrue(index.rename(1, 10));
            assertArrayEquals(filled(2, 0), index.get(10));
            assertFails(IllegalArgumentException.class, "key not found", () -> index.get(1));
            assertArrayEquals(new long[] {10}, index.search(filled(2, 0), 1));
            assertFalse(index.rename(1, 11));
            String inUse = "Renaming impossible, the key is already in use";
            assertFails(Error.class, inUse, () -> index.rename(10, 2));
            assertFails(Error.class, inUse, () -> index.rename(2, 2));
            assertFails(IllegalArgumentException.class, "Key -1 (all bits set) is reserved for removed entries",
                    () -> index.rename(2, -1));
            assertArrayEquals(filled(2, 1), index.get(2));
            assertEquals(2, index.size());
        }
    }
}
