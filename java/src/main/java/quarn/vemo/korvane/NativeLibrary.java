package quarn.vemo.korvane;

import java.io.IOException;
import java.io.InputStream;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.StandardCopyOption;
import java.util.Locale;

/**
 * Loads {@code libkorvane_jni} once per class loader: from {@code java.library.path} when it is installed there,
 * otherwise from the copy packed in the jar under {@code /native/<platform>/}.
 */
final class NativeLibrary {
    static final String LIBRARY_NAME = "korvane_jni";

    private static boolean loaded;

    private NativeLibrary() {}

    /**
     * Makes the native methods of {@link Index} callable.
     *
     * @throws UnsatisfiedLinkError when the platform has no packed library or neither copy can be loaded
     */
    static synchronized void load() {
        if (loaded) {
            return;
        }
        try {
            System.loadLibrary(LIBRARY_NAME);
        } catch (UnsatisfiedLinkError installed) {
            try {
                loadFromJar(System.getProperty("os.name"), System.getProperty("os.arch"));
            } catch (UnsatisfiedLinkError packed) {
                packed.addSuppressed(installed);
                throw packed;
            }
        }
        loaded = true;
    }

    /**
     * The folder of the jar that holds the library for a platform.
     *
     * @throws UnsatisfiedLinkError naming the operating system and architecture when the jar has no library for them
     */
    static String platformFolder(String os, String arch) {
        String osName = os == null ? "" : os.toLowerCase(Locale.ROOT);
        String archName = arch == null ? "" : arch.toLowerCase(Locale.ROOT);
        boolean x86_64 = archName.equals("amd64") || archName.equals("x86_64");
        if (osName.startsWith("linux") && x86_64) {
            return "linux-x86_64";
        }
        throw new UnsatisfiedLinkError(
                "korvane has no native library for operating system '" + os + "' on architecture '" + arch + "'");
    }

    /** The resource path of the packed library for a platform folder. */
    static String resourcePath(String folder) {
        return "/native/" + folder + "/" + System.mapLibraryName(LIBRARY_NAME);
    }

    private static void loadFromJar(String os, String arch) {
        String resource = resourcePath(platformFolder(os, arch));
        Path extracted = null;
        try (InputStream packed = NativeLibrary.class.getResourceAsStream(resource)) {
            if (packed == null) {
                throw new UnsatisfiedLinkError("korvane jar lacks " + resource + " for " + os + " " + arch);
            }
            extracted = Files.createTempFile("libkorvane_jni", ".so");
            Files.copy(packed, extracted, StandardCopyOption.REPLACE_EXISTING);
            System.load(extracted.toAbsolutePath().toString());
        } catch (IOException e) {
            UnsatisfiedLinkError failure = new UnsatisfiedLinkError("Failed to extract " + resource + ": " + e);
            failure.initCause(e);
            throw failure;
        } finally {
            // Once mapped, the library no longer needs its file; deleting it now leaves nothing behind even
            // when the JVM is killed.
            if (extracted != null) {
                try {
                    Files.deleteIfExists(extracted);
                } catch (IOException ignored) {
                    extracted.toFile().deleteOnExit();
                }
            }
        }
    }
}
