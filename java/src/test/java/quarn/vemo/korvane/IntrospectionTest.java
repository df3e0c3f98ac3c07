package quarn.vemo.korvane;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.Arrays;
import java.util.List;
import org.junit.jupiter.api.Test;

/** What the library reports about itself and the processor. */
class IntrospectionTest {
    private static final List<String> FAMILIES = List.of("serial", "haswell", "skylake", "ice", "genoa", "sapphire",
            "turin", "sierra", "neon", "neon_i8", "neon_f16", "neon_bf16", "sve", "sve_i8", "sve_f16", "sve_bf16", "sve2",
            "sve2p1");

    private static boolean processorHasHaswellKernels() throws IOException {
        List<String> flags = Arrays.asList(Files.readString(Path.of("/proc/cpuinfo")).split("\\s+"));
        return flags.contains("avx2") && flags.contains("fma") && flags.contains("f16c");
    }

    @Test
    void libraryFacts() {
        assertEquals("2.24.0", Index.libraryVersion());
        assertFalse(Index.usesDynamicDispatch());
        assertArrayEquals(new String[] {"serial", "haswell"}, Index.hardwareAccelerationCompiled());
    }

    @Test
    void availableFamiliesFollowTheProcessorInTableOrder() throws IOException {
        List<String> available = Arrays.asList(Index.hardwareAccelerationAvailable());
        assertEquals("serial", available.get(0));
        assertEquals(processorHasHaswellKernels(), available.contains("haswell"));
        int previous = -1;
        for (String family : available) {
            int row = FAMILIES.indexOf(family);
            assertTrue(row > previous, () -> "unexpected or out of order: " + available);
            previous = row;
        }
    }

    @Test
    void indexReportsTheFamilyOfItsKernel() throws IOException {
        String fastest = processorHasHaswellKernels() ? "haswell" : "serial";
        try (Index l2 = Fixtures.l2(8, 0);
                Index ipDouble = Index.builder().metric("ip").scalar("f64").dimensions(8).build();
                Index divergence = Index.builder().metric("divergence").scalar("f32").dimensions(8).build()) {
            assertEquals(fastest, l2.hardwareAcceleration());
            // Only the serial kernel computes f64 inner products; divergence is a built-in formula.
            assertEquals("serial", ipDouble.hardwareAcceleration());
            assertEquals("serial", divergence.hardwareAcceleration());
        }
    }
}
