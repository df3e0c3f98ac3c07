package quarn.vemo.korvane;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;

import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import java.nio.DoubleBuffer;
import java.nio.FloatBuffer;
import java.nio.LongBuffer;
import java.util.Random;
import org.junit.jupiter.api.function.Executable;

/** Small indexes and vectors shared by the tests. */
final class Fixtures {
    private Fixtures() {}

    /** An f32 l2sq index with room for {@code capacity} entries. */
    static Index l2(long dimensions, long capacity) {
        return Index.builder().metric("l2sq").scalar("f32").dimensions(dimensions).capacity(capacity).build();
    }

    /** {@code count} vectors laid end to end, vector i filled with the value i: the nearest of a query is plain. */
    static float[] ladder(int count, int dimensions) {
        float[] vectors = new float[count * dimensions];
        for (int i = 0; i < vectors.length; i++) {
            vectors[i] = i / dimensions;
        }
        return vectors;
    }

    /** A vector of {@code dimensions} copies of {@code value}. */
    static float[] filled(int dimensions, float value) {
        float[] vector = new float[dimensions];
        java.util.Arrays.fill(vector, value);
        return vector;
    }

    static float[] random(Random random, int count, int dimensions) {
        float[] vectors = new float[count * dimensions];
        for (int i = 0; i < vectors.length; i++) {
            vectors[i] = random.nextFloat();
        }
        return vectors;
    }

    static FloatBuffer directFloats(float... values) {
        return ByteBuffer.allocateDirect(values.length * Float.BYTES).order(ByteOrder.nativeOrder()).asFloatBuffer()
                .put(values).flip();
    }

    static DoubleBuffer directDoubles(double... values) {
        return ByteBuffer.allocateDirect(values.length * Double.BYTES).order(ByteOrder.nativeOrder()).asDoubleBuffer()
                .put(values).flip();
    }

    static ByteBuffer directBytes(byte... values) {
        return ByteBuffer.allocateDirect(values.length).put(values).flip();
    }

    static LongBuffer directLongs(int capacity) {
        return ByteBuffer.allocateDirect(capacity * Long.BYTES).order(ByteOrder.nativeOrder()).asLongBuffer();
    }

    /** Asserts that the call throws exactly {@code type} with exactly {@code message}. */
    static <T extends Throwable> T assertFails(Class<T> type, String message, Executable call) {
        T thrown = assertThrows(type, call);
        assertEquals(type, thrown.getClass());
        assertEquals(message, thrown.getMessage());
        return thrown;
    }
}
