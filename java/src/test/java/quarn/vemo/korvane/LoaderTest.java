package quarn.vemo.korvane;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNotNull;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import org.junit.jupiter.api.Test;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.CsvSource;

/** Finding the native library for the running platform. */
class LoaderTest {
    @ParameterizedTest
    @CsvSource({"Linux, amd64", "Linux, x86_64", "LINUX, AMD64"})
    void linuxOnX86_64UsesThePackedLibrary(String os, String arch) {
        assertEquals("linux-x86_64", NativeLibrary.platformFolder(os, arch));
    }

    @ParameterizedTest
    @CsvSource({"Linux, aarch64", "Mac OS X, x86_64", "Windows 11, amd64", "FreeBSD, amd64", "Linux, x86"})
    void otherPlatformsAreNamedInTheFailure(String os, String arch) {
        UnsatisfiedLinkError failure =
                assertThrows(UnsatisfiedLinkError.class, () -> NativeLibrary.platformFolder(os, arch));
        assertTrue(failure.getMessage().contains("'" + os + "'"), failure::getMessage);
        assertTrue(failure.getMessage().contains("'" + arch + "'"), failure::getMessage);
    }

    @Test
    void theJarCarriesTheLibraryOfThisPlatform() {
        String folder = NativeLibrary.platformFolder(System.getProperty("os.name"), System.getProperty("os.arch"));
        assertNotNull(NativeLibrary.class.getResource(NativeLibrary.resourcePath(folder)));
        assertEquals("/native/linux-x86_64/libkorvane_jni.so", NativeLibrary.resourcePath(folder));
    }
}
