package quarn.vemo.korvane;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static quarn.vemo.korvane.Fixtures.assertFails;

import org.junit.jupiter.api.Test;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.CsvSource;
import org.junit.jupiter.params.provider.ValueSource;

/** Creating an index, its properties, and reserving room. */
class CreationTest {
    @Test
    void defaultsAndProperties() {
        try (Index index = Index.builder().dimensions(128).capacity(1000).build()) {
            assertEquals("l2sq", index.metricKind());
            assertEquals("f32", index.scalarKind());
            assertEquals(128, index.dimensions());
            assertEquals(16, index.connectivity());
            assertEquals(0, index.size());
            // The key table rounds 1000 entries up to its own slot count.
            assertEquals(2048, index.capacity());
            assertTrue(index.memoryUsage() > 0);
        }
    }

    @ParameterizedTest
    @CsvSource({
        "l2sq, f32, l2sq, f32", "euclidean_sq, f64, l2sq, f64", "ip, f16, ip, f16", "inner, bf16, ip, bf16",
        "dot, i8, ip, i8", "cos, f32, cos, f32", "angular, f32, cos, f32", "jaccard, b1, jaccard, b1x8",
        "hamming, b1, hamming, b1x8", "tanimoto, b1, tanimoto, b1x8", "sorensen, b1, sorensen, b1x8",
        "haversine, f64, haversine, f64", "divergence, f32, divergence, f32", "pearson, i8, pearson, i8",
    })
    void acceptedNamesReportTheirCanonicalKind(String metric, String scalar, String metricKind, String scalarKind) {
        try (Index index = Index.builder().metric(metric).scalar(scalar).dimensions(2).build()) {
            assertEquals(metricKind, index.metricKind());
            assertEquals(scalarKind, index.scalarKind());
        }
    }

    @ParameterizedTest
    @CsvSource(value = {"L2SQ|f32", "'l2sq '|f32", "''|f32", "cosine|f32", "l2sq|F32", "l2sq|b1x8", "l2sq|i16",
        "l2sq|''", "nonsense|nonsense"}, delimiter = '|')
    void unknownNamesFail(String metric, String scalar) {
        assertFails(Error.class, "Failed to initialize the vector index!",
                () -> Index.builder().metric(metric).scalar(scalar).dimensions(4).build());
    }

    @ParameterizedTest
    @CsvSource({"l2sq, b1", "haversine, f16", "divergence, i8", "cos, b1"})
    void metricWithoutFunctionForTheScalarFails(String metric, String scalar) {
        assertFails(Error.class, "Failed to initialize the metric!",
                () -> Index.builder().metric(metric).scalar(scalar).dimensions(4).build());
    }

    @Test
    void connectivityOneIsRefusedAndTwoAccepted() {
        assertFails(Error.class, "Failed to initialize the vector index!",
                () -> Index.builder().dimensions(4).connectivity(1).build());
        try (Index index = Index.builder().dimensions(4).connectivity(2).capacity(10).build()) {
            assertEquals(2, index.connectivity());
            index.add(1, Fixtures.ladder(10, 4));
            assertEquals(10, index.size());
        }
    }

    @Test
    void builderChecksItsArguments() {
        assertFails(IllegalStateException.class, "dimensions must be set", () -> Index.builder().build());
        assertFails(IllegalArgumentException.class, "metric must not be null", () -> Index.builder().metric(null));
        assertFails(IllegalArgumentException.class, "scalar must not be null", () -> Index.builder().scalar(null));
        assertFails(IllegalArgumentException.class, "dimensions must not be negative",
                () -> Index.builder().dimensions(-1));
        assertFails(IllegalArgumentException.class, "capacity must not be negative", () -> Index.builder().capacity(-1));
        assertFails(IllegalArgumentException.class, "connectivity must not be negative",
                () -> Index.builder().connectivity(-2));
        assertFails(IllegalArgumentException.class, "expansionAdd must not be negative",
                () -> Index.builder().expansionAdd(-3));
        assertFails(IllegalArgumentException.class, "expansionSearch must not be negative",
                () -> Index.builder().expansionSearch(Long.MIN_VALUE));
    }

    @Test
    void impossibleCapacityFailsToReserve() {
        assertFails(Error.class, "Failed to reserve desired capacity!",
                () -> Index.builder().dimensions(4).capacity(Long.MAX_VALUE).build());
    }

    @Test
    void reserveGrowsButNeverShrinks() {
        try (Index index = Fixtures.l2(4, 0)) {
            assertEquals(0, index.capacity());
            assertFails(Error.class, "Reserve capacity ahead of insertions!", () -> index.add(1, Fixtures.filled(4, 1)));
            index.reserve(1000);
            assertEquals(2048, index.capacity());
            index.reserve(100, 3, 1);
            assertEquals(2048, index.capacity());
            index.add(1, Fixtures.ladder(3, 4));
            assertEquals(3, index.size());
        }
    }

    @Test
    void failedReserveLeavesTheIndexUsable() {
        try (Index index = Fixtures.l2(4, 10)) {
            index.add(7, Fixtures.filled(4, 7));
            assertFails(Error.class, "Failed to grow vector index!", () -> index.reserve(Long.MAX_VALUE));
            assertEquals(7L, index.search(Fixtures.filled(4, 7), 1)[0]);
        }
    }

    @ParameterizedTest
    @ValueSource(longs = {-1, Long.MIN_VALUE})
    void reserveRefusesNegativeArguments(long negative) {
        try (Index index = Fixtures.l2(4, 0)) {
            assertThrows(IllegalArgumentException.class, () -> index.reserve(negative));
            assertThrows(IllegalArgumentException.class, () -> index.reserve(1, negative, 1));
            assertThrows(IllegalArgumentException.class, () -> index.reserve(1, 1, negative));
            assertEquals(0, index.capacity());
        }
    }
}
