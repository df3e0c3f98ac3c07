package quarn.vemo.korvane;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.nio.file.Path;
import java.util.List;
import java.util.Map;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.function.Executable;
import org.junit.jupiter.api.io.TempDir;

/** Closing an index, and what a closed index does. */
class LifecycleTest {
    @TempDir
    Path folder;

    @Test
    void closeIsIdempotent() {
        Index index = Fixtures.l2(4, 10);
        assertFalse(index.isClosed());
        index.close();
        index.close();
        assertTrue(index.isClosed());
    }

    @Test
    void everyCallAfterCloseThrowsIllegalState() {
        String file = folder.resolve("saved.index").toString();
        try (Index source = Fixtures.l2(4, 10)) {
            source.save(file);
        }
        Index index = Fixtures.l2(4, 10);
        index.add(1, new float[4]);
        index.close();
        float[] floats = new float[4];
        Map<String, Executable> calls = Map.ofEntries(
                Map.entry("add float[]", () -> index.add(2, floats)),
                Map.entry("add double[]", () -> index.add(2, new double[4])),
                Map.entry("add byte[]", () -> index.add(2, new byte[4])),
                Map.entry("add FloatBuffer", () -> index.add(2, Fixtures.directFloats(floats))),
                Map.entry("add DoubleBuffer", () -> index.add(2, Fixtures.directDoubles(1, 2, 3, 4))),
                Map.entry("add ByteBuffer", () -> index.add(2, Fixtures.directBytes(new byte[4]))),
                Map.entry("search float[]", () -> index.search(floats, 1)),
                Map.entry("search double[]", () -> index.search(new double[4], 1)),
                Map.entry("search byte[]", () -> index.search(new byte[4], 1)),
                Map.entry("search FloatBuffer", () -> index.search(Fixtures.directFloats(floats), 1)),
                Map.entry("search DoubleBuffer", () -> index.search(Fixtures.directDoubles(1, 2, 3, 4), 1)),
                Map.entry("search ByteBuffer", () -> index.search(Fixtures.directBytes(new byte[4]), 1)),
                Map.entry("searchInto FloatBuffer",
                        () -> index.searchInto(Fixtures.directFloats(floats), Fixtures.directLongs(1), 1)),
                Map.entry("searchInto DoubleBuffer",
                        () -> index.searchInto(Fixtures.directDoubles(1, 2, 3, 4), Fixtures.directLongs(1), 1)),
                Map.entry("searchInto ByteBuffer",
                        () -> index.searchInto(Fixtures.directBytes(new byte[4]), Fixtures.directLongs(1), 1)),
                Map.entry("get", () -> index.get(1)),
                Map.entry("getInto float[]", () -> index.getInto(1, floats)),
                Map.entry("getInto double[]", () -> index.getInto(1, new double[4])),
                Map.entry("getInto byte[]", () -> index.getInto(1, new byte[4])),
                Map.entry("remove", () -> index.remove(1)),
                Map.entry("rename", () -> index.rename(1, 2)),
                Map.entry("reserve", () -> index.reserve(100)),
                Map.entry("reserve with threads", () -> index.reserve(100, 1, 1)),
                Map.entry("save", () -> index.save(folder.resolve("other.index").toString())),
                Map.entry("load", () -> index.load(file)),
                Map.entry("view", () -> index.view(file)),
                Map.entry("size", index::size),
                Map.entry("capacity", index::capacity),
                Map.entry("dimensions", index::dimensions),
                Map.entry("connectivity", index::connectivity),
                Map.entry("memoryUsage", index::memoryUsage),
                Map.entry("metricKind", index::metricKind),
                Map.entry("scalarKind", index::scalarKind),
                Map.entry("hardwareAcceleration", index::hardwareAcceleration));
        for (Map.Entry<String, Executable> call : calls.entrySet()) {
            IllegalStateException thrown = assertThrows(IllegalStateException.class, call.getValue(), call.getKey());
            assertEquals("The index is closed", thrown.getMessage(), call.getKey());
        }
        assertEquals(List.of("saved.index"), List.of(folder.toFile().list()));
    }

    @Test
    void closedFromManyThreadsAtOnceFreesOnce() throws InterruptedException {
        for (int round = 0; round < 20; round++) {
            Index index = Fixtures.l2(4, 10);
            Thread[] closers = new Thread[4];
            for (int t = 0; t < closers.length; t++) {
                closers[t] = new Thread(index::close);
                closers[t].start();
            }
            for (Thread closer : closers) {
                closer.join();
            }
            assertTrue(index.isClosed());
        }
    }
}
