package quarn.vemo.korvane;

/**
 * Prints the library version and the kernel families, then proves the native library works by indexing and finding
 * a few vectors. Run it with {@code java -jar korvane.jar}.
 */
public final class Info {
    private Info() {}

    /**
     * Prints the report to standard output.
     *
     * @param args ignored
     * @throws IllegalStateException if the native library answers a search wrongly
     */
    public static void main(String[] args) {
        System.out.println("korvane " + Index.libraryVersion());
        System.out.println("kernels compiled: " + String.join(" ", Index.hardwareAccelerationCompiled()));
        System.out.println("kernels available: " + String.join(" ", Index.hardwareAccelerationAvailable()));
        try (Index index = Index.builder().metric("l2sq").scalar("f32").dimensions(2).capacity(3).build()) {
            index.add(100, new float[] {0, 0, 10, 10, 20, 20});
            long[] keys = index.search(new float[] {11, 11}, 1);
            if (keys.length != 1 || keys[0] != 101) {
                throw new IllegalStateException("self-check search returned " + java.util.Arrays.toString(keys));
            }
            System.out.println("self-check passed with " + index.hardwareAcceleration() + " kernels");
        }
    }
}
