package quarn.vemo.korvane;

import java.io.FileInputStream;
import java.io.FileNotFoundException;
import java.io.IOException;
import java.nio.Buffer;
import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import java.nio.DoubleBuffer;
import java.nio.FloatBuffer;
import java.nio.LongBuffer;
import java.util.concurrent.atomic.AtomicBoolean;
import java.util.concurrent.locks.Lock;
import java.util.concurrent.locks.ReentrantReadWriteLock;
import java.util.function.LongConsumer;

/**
 * An approximate nearest-neighbour index over fixed-length vectors, kept in native memory.
 *
 * <p>Vectors are stored under keys, which are unsigned 64-bit integers carried in Java {@code long}s (the bit
 * pattern counts, so {@code -2L} is the key 18446744073709551614). The key {@code -1L} (all bits set) marks removed
 * entries inside the index and cannot be used. Searches return keys ordered nearest first.
 *
 * <p>Create an index with {@link #builder()}, or from a saved file with {@link #loadFile(String)} or
 * {@link #viewFile(String)}. An index must have room reserved before vectors are added: give a capacity to the
 * builder or call {@link #reserve(long)}; the index never grows on its own.
 *
 * <p><b>Thread safety.</b> Every method is safe to call from any number of threads. Additions, searches,
 * retrievals, removals, renamings and property reads run concurrently with each other; {@link #save(String)} runs
 * concurrently with searches, retrievals and property reads but waits for running additions, removals and
 * renamings and holds back new ones until it is done. {@link #reserve(long)}, {@link #load(String)},
 * {@link #view(String)} and {@link #close()} wait until every other call on the index has returned and run alone.
 * The index keeps one working context per reserved thread; a call that finds them all in use waits for one.
 *
 * <p><b>Failures.</b> Faults of the caller's arguments throw {@link IllegalArgumentException}, a call on a closed
 * index throws {@link IllegalStateException}, and failures inside the native index (allocation, capacity,
 * files) throw {@link Error} with the index's message.
 *
 * <p>The index holds native memory until {@link #close()}; use it in a try-with-resources statement. There is no
 * finalizer.
 */
public final class Index implements AutoCloseable {
    static {
        NativeLibrary.load();
    }

    /** Set once by close; checked first so that a closed index fails fast without touching the locks. */
    private final AtomicBoolean closed = new AtomicBoolean();

    /** Guards {@link #handle} and {@link #contentLost}: shared by calls on the index, exclusive to replace or end it. */
    private final ReentrantReadWriteLock lifecycle = new ReentrantReadWriteLock();

    /**
     * Shared by calls that change entries, exclusive for saving, so that a file is never written from a graph that is
     * being modified. Always taken inside {@link #lifecycle}.
     */
    private final ReentrantReadWriteLock modifications = new ReentrantReadWriteLock();

    /** Address of the native index; 0 once closed. */
    private long handle;

    /**
     * True after a load or view failed: the native index was reset and may hold a partial graph that must not be
     * searched, changed or saved until a load or view succeeds.
     */
    private boolean contentLost;

    private Index(long handle) {
        this.handle = handle;
    }

    /**
     * Starts describing a new index. Thread-safe: every call returns an independent builder.
     *
     * @return a builder with metric "l2sq", scalar type "f32", capacity 0 and default connectivity and expansions
     */
    public static Builder builder() {
        return new Builder();
    }

    /**
     * Creates an index by loading a saved file into memory. The result can grow after a {@link #reserve(long)}.
     * Thread-safe; the file must not change while it is read.
     *
     * @param path file written by {@link #save(String)}
     * @return a new open index
     * @throws IllegalArgumentException if path is null
     * @throws Error if the file cannot be opened (the system's error text) or is not a valid index file
     */
    public static Index loadFile(String path) {
        requireNonNull(path, "path");
        return new Index(created(c_createFromFile(path, false)));
    }

    /**
     * Creates an index that serves a saved file in place through a read-only memory mapping, without copying it.
     * The result answers searches and retrievals but refuses additions and removals. Thread-safe; the file must not
     * change while the index is open.
     *
     * @param path file written by {@link #save(String)}
     * @return a new open, immutable index
     * @throws IllegalArgumentException if path is null
     * @throws Error if the file cannot be mapped (the system's error text) or is not a valid index file
     */
    public static Index viewFile(String path) {
        requireNonNull(path, "path");
        return new Index(created(c_createFromFile(path, true)));
    }

    // ---------------------------------------------------------------------------------------------------------------
    // Adding

    /**
     * Adds the vectors laid end to end in {@code vectors}, the i-th under key {@code firstKey + i}. Vectors added
     * before a failure stay in the index. An empty array adds nothing. Thread-safe.
     *
     * @param firstKey key of the first vector
     * @param vectors a whole number of vectors of {@link #dimensions()} elements each
     * @throws IllegalArgumentException if vectors is null, its length is not a multiple of the dimensions, or a key of
     *     the batch is the reserved key -1
     * @throws IllegalStateException if the index is closed or lost its content to a failed load or view
     * @throws Error if a key is already present, the capacity is exhausted, the index is immutable, or memory runs out
     */
    public void add(long firstKey, float[] vectors) {
        requireNonNull(vectors, "vectors");
        modify(index -> c_add_f32(index, firstKey, vectors));
    }

    /**
     * Adds the vectors laid end to end in {@code vectors}, the i-th under key {@code firstKey + i}, converting them
     * to the index's scalar type. Otherwise as {@link #add(long, float[])}. Thread-safe.
     *
     * @param firstKey key of the first vector
     * @param vectors a whole number of vectors of {@link #dimensions()} elements each
     * @throws IllegalArgumentException as for {@link #add(long, float[])}
     * @throws IllegalStateException as for {@link #add(long, float[])}
     * @throws Error as for {@link #add(long, float[])}
     */
    public void add(long firstKey, double[] vectors) {
        requireNonNull(vectors, "vectors");
        modify(index -> c_add_f64(index, firstKey, vectors));
    }

    /**
     * Adds the signed 8-bit vectors laid end to end in {@code vectors}, the i-th under key {@code firstKey + i}.
     * Otherwise as {@link #add(long, float[])}. Thread-safe.
     *
     * @param firstKey key of the first vector
     * @param vectors a whole number of vectors of {@link #dimensions()} elements each
     * @throws IllegalArgumentException as for {@link #add(long, float[])}
     * @throws IllegalStateException as for {@link #add(long, float[])}
     * @throws Error as for {@link #add(long, float[])}
     */
    public void add(long firstKey, byte[] vectors) {
        requireNonNull(vectors, "vectors");
        modify(index -> c_add_i8(index, firstKey, vectors));
    }

    /**
     * Adds one vector read from a direct buffer, from its position to its limit. The buffer's position is not
     * changed. Thread-safe, as long as no other thread changes the buffer during the call.
     *
     * @param key key of the vector
     * @param vector direct buffer in the native byte order with exactly {@link #dimensions()} elements remaining
     * @throws IllegalArgumentException if vector is null, not direct, not in the native byte order, has a different
     *     number of elements remaining ("Vector dimensions mismatch"), or key is -1
     * @throws IllegalStateException as for {@link #add(long, float[])}
     * @throws Error as for {@link #add(long, float[])}
     */
    public void add(long key, FloatBuffer vector) {
        requireNativeOrder(vector, vector == null ? null : vector.order(), "vector");
        modify(index -> {
            requireOneVector(index, vector);
            c_add_f32_buffer(index, key, vector.slice());
        });
    }

    /**
     * Adds one vector read from a direct buffer, from its position to its limit. Otherwise as
     * {@link #add(long, FloatBuffer)}. Thread-safe.
     *
     * @param key key of the vector
     * @param vector direct buffer in the native byte order with exactly {@link #dimensions()} elements remaining
     * @throws IllegalArgumentException as for {@link #add(long, FloatBuffer)}
     * @throws IllegalStateException as for {@link #add(long, float[])}
     * @throws Error as for {@link #add(long, float[])}
     */
    public void add(long key, DoubleBuffer vector) {
        requireNativeOrder(vector, vector == null ? null : vector.order(), "vector");
        modify(index -> {
            requireOneVector(index, vector);
            c_add_f64_buffer(index, key, vector.slice());
        });
    }

    /**
     * Adds one signed 8-bit vector read from a direct buffer, from its position to its limit. Otherwise as
     * {@link #add(long, FloatBuffer)}. Thread-safe.
     *
     * @param key key of the vector
     * @param vector direct buffer with exactly {@link #dimensions()} bytes remaining
     * @throws IllegalArgumentException if vector is null, not direct ("Buffer must be direct ByteBuffer"), has a
     *     different number of bytes remaining ("Vector dimensions mismatch"), or key is -1
     * @throws IllegalStateException as for {@link #add(long, float[])}
     * @throws Error as for {@link #add(long, float[])}
     */
    public void add(long key, ByteBuffer vector) {
        requireNonNull(vector, "vector");
        modify(index -> c_add_i8_buffer(index, key, vector.slice()));
    }

    // ---------------------------------------------------------------------------------------------------------------
    // Searching

    /**
     * Finds up to {@code count} keys nearest to the query, nearest first. Fewer come back when the index holds fewer
     * entries, the graph reaches fewer, or entries are removed while the search runs. Thread-safe.
     *
     * @param query at least {@link #dimensions()} elements; only the first {@link #dimensions()} are read
     * @param count the number of keys wanted
     * @return the keys found, nearest first
     * @throws IllegalArgumentException if query is null or shorter than the dimensions, or count is negative
     * @throws IllegalStateException if the index is closed or lost its content to a failed load or view
     * @throws Error if memory runs out
     */
    public long[] search(float[] query, long count) {
        requireNonNull(query, "query");
        requireCount(count);
        return queried(query.length, count, (index, wanted) -> c_search_f32(index, query, wanted));
    }

    /**
     * Finds up to {@code count} keys nearest to a {@code double} query, nearest first. Otherwise as
     * {@link #search(float[], long)}. Thread-safe.
     *
     * @param query at least {@link #dimensions()} elements; only the first {@link #dimensions()} are read
     * @param count the number of keys wanted
     * @return the keys found, nearest first
     * @throws IllegalArgumentException as for {@link #search(float[], long)}
     * @throws IllegalStateException as for {@link #search(float[], long)}
     * @throws Error as for {@link #search(float[], long)}
     */
    public long[] search(double[] query, long count) {
        requireNonNull(query, "query");
        requireCount(count);
        return queried(query.length, count, (index, wanted) -> c_search_f64(index, query, wanted));
    }

    /**
     * Finds up to {@code count} keys nearest to a signed 8-bit query, nearest first. Otherwise as
     * {@link #search(float[], long)}. Thread-safe.
     *
     * @param query at least {@link #dimensions()} elements; only the first {@link #dimensions()} are read
     * @param count the number of keys wanted
     * @return the keys found, nearest first
     * @throws IllegalArgumentException as for {@link #search(float[], long)}
     * @throws IllegalStateException as for {@link #search(float[], long)}
     * @throws Error as for {@link #search(float[], long)}
     */
    public long[] search(byte[] query, long count) {
        requireNonNull(query, "query");
        requireCount(count);
        return queried(query.length, count, (index, wanted) -> c_search_i8(index, query, wanted));
    }

    /**
     * Finds up to {@code count} keys nearest to a query read from a direct buffer, starting at its position. The
     * buffer's position is not changed. Thread-safe, as long as no other thread changes the buffer during the call.
     *
     * @param query direct buffer in the native byte order with at least {@link #dimensions()} elements remaining
     * @param count the number of keys wanted
     * @return the keys found, nearest first
     * @throws IllegalArgumentException if query is null, not direct, not in the native byte order or too short, or
     *     count is negative
     * @throws IllegalStateException as for {@link #search(float[], long)}
     * @throws Error as for {@link #search(float[], long)}
     */
    public long[] search(FloatBuffer query, long count) {
        requireNativeOrder(query, query == null ? null : query.order(), "query");
        requireCount(count);
        return queried(query.remaining(), count, (index, wanted) -> c_search_f32_buffer(index, query.slice(), wanted));
    }

    /**
     * Finds up to {@code count} keys nearest to a {@code double} query read from a direct buffer. Otherwise as
     * {@link #search(FloatBuffer, long)}. Thread-safe.
     *
     * @param query direct buffer in the native byte order with at least {@link #dimensions()} elements remaining
     * @param count the number of keys wanted
     * @return the keys found, nearest first
     * @throws IllegalArgumentException as for {@link #search(FloatBuffer, long)}
     * @throws IllegalStateException as for {@link #search(float[], long)}
     * @throws Error as for {@link #search(float[], long)}
     */
    public long[] search(DoubleBuffer query, long count) {
        requireNativeOrder(query, query == null ? null : query.order(), "query");
        requireCount(count);
        return queried(query.remaining(), count, (index, wanted) -> c_search_f64_buffer(index, query.slice(), wanted));
    }

    /**
     * Finds up to {@code count} keys nearest to a signed 8-bit query read from a direct buffer. Otherwise as
     * {@link #search(FloatBuffer, long)}. Thread-safe.
     *
     * @param query direct buffer with at least {@link #dimensions()} bytes remaining
     * @param count the number of keys wanted
     * @return the keys found, nearest first
     * @throws IllegalArgumentException if query is null, not direct or too short, or count is negative
     * @throws IllegalStateException as for {@link #search(float[], long)}
     * @throws Error as for {@link #search(float[], long)}
     */
    public long[] search(ByteBuffer query, long count) {
        requireNonNull(query, "query");
        requireCount(count);
        return queried(query.remaining(), count, (index, wanted) -> c_search_i8_buffer(index, query.slice(), wanted));
    }

    /**
     * Finds up to {@code count} keys nearest to a query and writes them, nearest first, into {@code results} from its
     * position on, advancing its position past them. Nothing is allocated on the Java heap. Thread-safe, as long as
     * no other thread uses either buffer during the call.
     *
     * @param query direct buffer in the native byte order with at least {@link #dimensions()} elements remaining;
     *     its position is not changed
     * @param results writable direct buffer in the native byte order with room for {@code count} keys
     * @param count the number of keys wanted
     * @return the number of keys written
     * @throws IllegalArgumentException if a buffer is null, not direct ("Query buffer must be direct ByteBuffer",
     *     "Results buffer must be direct ByteBuffer"), not in the native byte order, or too small, results is
     *     read-only, or count is negative
     * @throws IllegalStateException as for {@link #search(float[], long)}
     * @throws Error as for {@link #search(float[], long)}
     */
    public int searchInto(FloatBuffer query, LongBuffer results, long count) {
        requireNativeOrder(query, query == null ? null : query.order(), "query");
        requireResults(results, count);
        return queried(query.remaining(), count,
                (index, wanted) -> c_search_into_f32_buffer(index, query.slice(), results, wanted));
    }

    /**
     * Finds up to {@code count} keys nearest to a {@code double} query and writes them into {@code results}. Otherwise
     * as {@link #searchInto(FloatBuffer, LongBuffer, long)}. Thread-safe.
     *
     * @param query direct buffer in the native byte order with at least {@link #dimensions()} elements remaining
     * @param results writable direct buffer in the native byte order with room for {@code count} keys
     * @param count the number of keys wanted
     * @return the number of keys written
     * @throws IllegalArgumentException as for {@link #searchInto(FloatBuffer, LongBuffer, long)}
     * @throws IllegalStateException as for {@link #search(float[], long)}
     * @throws Error as for {@link #search(float[], long)}
     */
    public int searchInto(DoubleBuffer query, LongBuffer results, long count) {
        requireNativeOrder(query, query == null ? null : query.order(), "query");
        requireResults(results, count);
        return queried(query.remaining(), count,
                (index, wanted) -> c_search_into_f64_buffer(index, query.slice(), results, wanted));
    }

    /**
     * Finds up to {@code count} keys nearest to a signed 8-bit query and writes them into {@code results}. Otherwise
     * as {@link #searchInto(FloatBuffer, LongBuffer, long)}. Thread-safe.
     *
     * @param query direct buffer with at least {@link #dimensions()} bytes remaining
     * @param results writable direct buffer in the native byte order with room for {@code count} keys
     * @param count the number of keys wanted
     * @return the number of keys written
     * @throws IllegalArgumentException as for {@link #searchInto(FloatBuffer, LongBuffer, long)}
     * @throws IllegalStateException as for {@link #search(float[], long)}
     * @throws Error as for {@link #search(float[], long)}
     */
    public int searchInto(ByteBuffer query, LongBuffer results, long count) {
        requireNonNull(query, "query");
        requireResults(results, count);
        return queried(query.remaining(), count,
                (index, wanted) -> c_search_into_i8_buffer(index, query.slice(), results, wanted));
    }

    // ---------------------------------------------------------------------------------------------------------------
    // Retrieval, removal, renaming

    /**
     * Reads the vector stored under a key, converted to {@code float}. Thread-safe; a vector read while its key is
     * removed and its place reused by another thread may mix the two vectors.
     *
     * @param key the key
     * @return a new array of {@link #dimensions()} elements
     * @throws IllegalArgumentException if the key is not present ("key not found")
     * @throws IllegalStateException if the index is closed or lost its content to a failed load or view
     */
    public float[] get(long key) {
        Lock shared = lockShared();
        try {
            return c_get(usableHandle(), key);
        } finally {
            shared.unlock();
        }
    }

    /**
     * Reads the vector stored under a key into the first {@link #dimensions()} elements of {@code output}, converted
     * to {@code float}. When the key is absent, output is left unchanged. Thread-safe, as {@link #get(long)}.
     *
     * @param key the key
     * @param output array of at least {@link #dimensions()} elements
     * @throws IllegalArgumentException if output is null or too short, or the key is not present ("key not found")
     * @throws IllegalStateException as for {@link #get(long)}
     */
    public void getInto(long key, float[] output) {
        requireNonNull(output, "output");
        readInto(output.length, index -> c_get_into_f32(index, key, output));
    }

    /**
     * Reads the vector stored under a key into {@code output}, converted to {@code double}. Otherwise as
     * {@link #getInto(long, float[])}. Thread-safe.
     *
     * @param key the key
     * @param output array of at least {@link #dimensions()} elements
     * @throws IllegalArgumentException as for {@link #getInto(long, float[])}
     * @throws IllegalStateException as for {@link #get(long)}
     */
    public void getInto(long key, double[] output) {
        requireNonNull(output, "output");
        readInto(output.length, index -> c_get_into_f64(index, key, output));
    }

    /**
     * Reads the vector stored under a key into {@code output}, converted to signed 8-bit values. Otherwise as
     * {@link #getInto(long, float[])}. Thread-safe.
     *
     * @param key the key
     * @param output array of at least {@link #dimensions()} elements
     * @throws IllegalArgumentException as for {@link #getInto(long, float[])}
     * @throws IllegalStateException as for {@link #get(long)}
     */
    public void getInto(long key, byte[] output) {
        requireNonNull(output, "output");
        readInto(output.length, index -> c_get_into_i8(index, key, output));
    }

    /**
     * Removes the entry of a key. Searches stop returning it at once; its place is reused by later additions.
     * Thread-safe.
     *
     * @param key the key
     * @return true if an entry was removed, false if the key was absent
     * @throws IllegalStateException if the index is closed or lost its content to a failed load or view
     * @throws Error if the index is immutable ("Can't remove from an immutable index") or memory runs out
     */
    public boolean remove(long key) {
        Lock shared = lockModification();
        try {
            return c_remove(usableHandle(), key);
        } finally {
            unlockModification(shared);
        }
    }

    /**
     * Moves the entry of a key to another key, keeping its vector. Thread-safe; a search running at the same time may
     * still report the old key.
     *
     * @param from the present key
     * @param to the new key, not yet in use
     * @return true if the entry was renamed, false if {@code from} was absent
     * @throws IllegalArgumentException if {@code to} is the reserved key -1
     * @throws IllegalStateException if the index is closed or lost its content to a failed load or view
     * @throws Error if {@code to} is already in use ("Renaming impossible, the key is already in use"), the index is
     *     immutable, or memory runs out
     */
    public boolean rename(long from, long to) {
        Lock shared = lockModification();
        try {
            return c_rename(usableHandle(), from, to);
        } finally {
            unlockModification(shared);
        }
    }

    // ---------------------------------------------------------------------------------------------------------------
    // Capacity and persistence

    /**
     * Makes room for at least {@code capacity} entries, with one working context per hardware thread. A smaller
     * capacity than reserved before shrinks nothing. Waits for every other call on the index and runs alone.
     *
     * @param capacity the number of entries to make room for
     * @throws IllegalArgumentException if capacity is negative
     * @throws IllegalStateException if the index is closed or lost its content to a failed load or view
     * @throws Error if memory runs out ("Failed to grow vector index!"); the index stays usable
     */
    public void reserve(long capacity) {
        reserve(capacity, 0, 0);
    }

    /**
     * Makes room for at least {@code capacity} entries and for as many concurrent calls as the larger thread count.
     * A thread count of 0 stands for the number of hardware threads. Waits for every other call on the index and runs
     * alone.
     *
     * @param capacity the number of entries to make room for
     * @param additionThreads the number of threads expected to add at once, or 0
     * @param searchThreads the number of threads expected to search at once, or 0
     * @throws IllegalArgumentException if an argument is negative
     * @throws IllegalStateException as for {@link #reserve(long)}
     * @throws Error as for {@link #reserve(long)}
     */
    public void reserve(long capacity, long additionThreads, long searchThreads) {
        requireNotNegative(capacity, "capacity");
        requireNotNegative(additionThreads, "additionThreads");
        requireNotNegative(searchThreads, "searchThreads");
        Lock exclusive = lockExclusive();
        try {
            c_reserve(usableHandle(), capacity, additionThreads, searchThreads);
        } finally {
            exclusive.unlock();
        }
    }

    /**
     * Writes the index to a file, replacing it. Runs alongside searches and retrievals; waits for running additions,
     * removals and renamings and holds back new ones until the file is written.
     *
     * @param path the file to write
     * @throws IllegalArgumentException if path is null
     * @throws IllegalStateException if the index is closed or lost its content to a failed load or view
     * @throws Error if the file cannot be opened (the system's error text) or written; a partial file may remain
     */
    public void save(String path) {
        requireNonNull(path, "path");
        Lock shared = lockShared();
        try {
            long index = usableHandle();
            Lock saving = modifications.writeLock();
            saving.lock();
            try {
                c_save(index, path);
            } finally {
                saving.unlock();
            }
        } finally {
            shared.unlock();
        }
    }

    /**
     * Replaces the content of this index by a saved file read into memory; metric, scalar type, dimensions and graph
     * shape come from the file. Waits for every other call on the index and runs alone.
     *
     * <p>The index is emptied before the file is read: if reading fails the previous content is gone, and until a
     * later load or view succeeds only properties, {@link #load(String)}, {@link #view(String)} and {@link #close()}
     * are allowed; other calls throw {@link IllegalStateException}.
     *
     * @param path file written by {@link #save(String)}
     * @throws IllegalArgumentException if path is null
     * @throws IllegalStateException if the index is closed
     * @throws Error if the file cannot be opened (the system's error text, the index is unchanged) or is not a valid
     *     index file
     */
    public void load(String path) {
        requireNonNull(path, "path");
        replaceContent(path, false);
    }

    /**
     * Replaces the content of this index by a saved file served in place through a read-only memory mapping. The
     * index then refuses additions and removals. Otherwise as {@link #load(String)}.
     *
     * @param path file written by {@link #save(String)}
     * @throws IllegalArgumentException if path is null
     * @throws IllegalStateException if the index is closed
     * @throws Error if the file cannot be mapped or is not a valid index file; the previous content is then gone
     */
    public void view(String path) {
        requireNonNull(path, "path");
        replaceContent(path, true);
    }

    // ---------------------------------------------------------------------------------------------------------------
    // Properties

    /**
     * The number of live entries. Thread-safe; exact only while no addition or removal runs.
     *
     * @return the number of entries
     * @throws IllegalStateException if the index is closed
     */
    public long size() {
        return readProperty(Index::c_size);
    }

    /**
     * The number of entries the index has room for; a reservation may round it up. Thread-safe.
     *
     * @return the capacity
     * @throws IllegalStateException if the index is closed
     */
    public long capacity() {
        return readProperty(Index::c_capacity);
    }

    /**
     * The number of elements of every vector. Thread-safe.
     *
     * @return the dimensions
     * @throws IllegalStateException if the index is closed
     */
    public long dimensions() {
        return readProperty(Index::c_dimensions);
    }

    /**
     * The number of neighbours each entry keeps on the upper levels of the graph (twice that on the base level).
     * Thread-safe.
     *
     * @return the connectivity
     * @throws IllegalStateException if the index is closed
     */
    public long connectivity() {
        return readProperty(Index::c_connectivity);
    }

    /**
     * An estimate of the native memory the index holds, in bytes. Thread-safe.
     *
     * @return bytes
     * @throws IllegalStateException if the index is closed
     */
    public long memoryUsage() {
        return readProperty(Index::c_memory_usage);
    }

    /**
     * The metric's canonical name, such as "l2sq", "ip" or "cos" (aliases given at creation report their canonical
     * name). Thread-safe.
     *
     * @return the metric name
     * @throws IllegalStateException if the index is closed
     */
    public String metricKind() {
        return readProperty(Index::c_metric_kind);
    }

    /**
     * The stored scalar type's name, such as "f32", "f16", "i8" or "b1x8". Thread-safe.
     *
     * @return the scalar type name
     * @throws IllegalStateException if the index is closed
     */
    public String scalarKind() {
        return readProperty(Index::c_scalar_kind);
    }

    /**
     * The kernel family the index's metric runs on, such as "haswell" or "serial", or "uninitialized" when the
     * metric has no kernel. Thread-safe.
     *
     * @return the family name
     * @throws IllegalStateException if the index is closed
     */
    public String hardwareAcceleration() {
        return readProperty(Index::c_hardware_acceleration);
    }

    /**
     * Tells whether {@link #close()} has been called. Thread-safe.
     *
     * @return true once closed
     */
    public boolean isClosed() {
        return closed.get();
    }

    /**
     * The kernel families the processor supports, "serial" first. Thread-safe.
     *
     * @return a new array of family names
     */
    public static String[] hardwareAccelerationAvailable() {
        return c_hardware_acceleration_available();
    }

    /**
     * The kernel families built into the native library. Thread-safe.
     *
     * @return a new array of family names
     */
    public static String[] hardwareAccelerationCompiled() {
        return c_hardware_acceleration_compiled();
    }

    /**
     * The native library's version, also written into every saved file. Thread-safe.
     *
     * @return the version as major.minor.patch
     */
    public static String libraryVersion() {
        return c_library_version();
    }

    /**
     * Tells whether the Java binding itself picks between builds of the library at run time; it does not (the
     * kernels underneath choose their instruction set at run time either way). Thread-safe.
     *
     * @return false
     */
    public static boolean usesDynamicDispatch() {
        return c_uses_dynamic_dispatch();
    }

    /**
     * Frees the native index. Idempotent: later calls do nothing. Waits for every running call on the index;
     * afterwards every call except this one and {@link #isClosed()} throws {@link IllegalStateException}.
     * Thread-safe.
     */
    @Override
    public void close() {
        if (!closed.compareAndSet(false, true)) {
            return;
        }
        Lock exclusive = lifecycle.writeLock();
        exclusive.lock();
        try {
            long index = handle;
            handle = 0;
            c_destroy(index);
        } finally {
            exclusive.unlock();
        }
    }

    // ---------------------------------------------------------------------------------------------------------------
    // Builder

    /**
     * Describes an index to create. Setters check their argument at once and return the builder. Not thread-safe:
     * confine a builder to one thread.
     */
    public static final class Builder {
        private String metric = "l2sq";
        private String scalar = "f32";
        private long dimensions = -1;
        private long capacity;
        private long connectivity;
        private long expansionAdd;
        private long expansionSearch;

        private Builder() {}

        /**
         * Sets the metric: "l2sq" (or "euclidean_sq"), "ip" (or "inner", "dot"), "cos" (or "angular"), "haversine",
         * "divergence", "jaccard", "pearson", "hamming", "tanimoto" or "sorensen". Default "l2sq".
         *
         * @param metric the metric name, case-sensitive
         * @return this builder
         * @throws IllegalArgumentException if metric is null
         */
        public Builder metric(String metric) {
            this.metric = requireNonNull(metric, "metric");
            return this;
        }

        /**
         * Sets the scalar type the vectors are stored in: "f64", "f32", "f16", "bf16", "i8" or "b1" (packed bits).
         * Default "f32".
         *
         * @param scalar the scalar type name, case-sensitive
         * @return this builder
         * @throws IllegalArgumentException if scalar is null
         */
        public Builder scalar(String scalar) {
            this.scalar = requireNonNull(scalar, "scalar");
            return this;
        }

        /**
         * Sets the number of elements of every vector. Required.
         *
         * @param dimensions the dimensions
         * @return this builder
         * @throws IllegalArgumentException if dimensions is negative
         */
        public Builder dimensions(long dimensions) {
            this.dimensions = requireNotNegative(dimensions, "dimensions");
            return this;
        }

        /**
         * Sets the number of entries to make room for at creation. Default 0: reserve before adding.
         *
         * @param capacity the capacity
         * @return this builder
         * @throws IllegalArgumentException if capacity is negative
         */
        public Builder capacity(long capacity) {
            this.capacity = requireNotNegative(capacity, "capacity");
            return this;
        }

        /**
         * Sets the neighbours per entry on the upper graph levels (twice that on the base level). Default 0, which
         * means 16; 1 is refused at {@link #build()}.
         *
         * @param connectivity the connectivity, or 0
         * @return this builder
         * @throws IllegalArgumentException if connectivity is negative
         */
        public Builder connectivity(long connectivity) {
            this.connectivity = requireNotNegative(connectivity, "connectivity");
            return this;
        }

        /**
         * Sets the candidate list size while adding; larger builds a better graph, slower. Default 0, which means 128.
         *
         * @param expansion the expansion, or 0
         * @return this builder
         * @throws IllegalArgumentException if expansion is negative
         */
        public Builder expansionAdd(long expansion) {
            this.expansionAdd = requireNotNegative(expansion, "expansionAdd");
            return this;
        }

        /**
         * Sets the candidate list size while searching; larger finds more true neighbours, slower. Default 0, which
         * means 64.
         *
         * @param expansion the expansion, or 0
         * @return this builder
         * @throws IllegalArgumentException if expansion is negative
         */
        public Builder expansionSearch(long expansion) {
            this.expansionSearch = requireNotNegative(expansion, "expansionSearch");
            return this;
        }

        /**
         * Creates the index, with one working context per hardware thread.
         *
         * @return a new open index; close it when done
         * @throws IllegalStateException if the dimensions were not set
         * @throws Error "Failed to initialize the vector index!" for an unknown metric or scalar name or a connectivity
         *     of 1, "Failed to initialize the metric!" when the metric does not support the scalar type, "Failed to
         *     reserve desired capacity!" when the capacity cannot be reserved
         */
        public Index build() {
            if (dimensions < 0) {
                throw new IllegalStateException("dimensions must be set");
            }
            return new Index(created(
                    c_create(metric, scalar, dimensions, capacity, connectivity, expansionAdd, expansionSearch)));
        }
    }

    // ---------------------------------------------------------------------------------------------------------------
    // Checks and locking

    private static long created(long handle) {
        if (handle == 0) {
            // The native side raised an Error already; this only covers a failure it could not report.
            throw new Error("Failed to initialize the vector index!");
        }
        return handle;
    }

    private void replaceContent(String path, boolean viewed) {
        Lock exclusive = lockExclusive();
        try {
            long index = openHandle();
            if (!viewed) {
                requireReadable(path);
            }
            // The native side empties the index before it reads the file, so any failure from here on leaves
            // an index that may hold a partial graph.
            contentLost = true;
            if (viewed) {
                c_view(index, path);
            } else {
                c_load(index, path);
            }
            contentLost = false;
        } finally {
            exclusive.unlock();
        }
    }

    /**
     * Loading a file that cannot be opened leaves the index as it was. Opening it here first keeps that promise
     * without the native side having to say why it failed; the message is the system's error text, as the native
     * side would report it.
     */
    private static void requireReadable(String path) {
        FileInputStream probe;
        try {
            probe = new FileInputStream(path);
        } catch (FileNotFoundException e) {
            String message = String.valueOf(e.getMessage());
            int reason = message.lastIndexOf(" (");
            throw new Error(reason >= 0 && message.endsWith(")")
                    ? message.substring(reason + 2, message.length() - 1) : message);
        }
        try {
            probe.close();
        } catch (IOException ignored) {
            // Closing a stream that was only opened cannot lose anything.
        }
    }

    /** A native call on a handle the caller's lock keeps live. */
    @FunctionalInterface
    private interface HandleCall<R> {
        R run(long index);
    }

    /** A native search on a live handle that may return up to {@code wanted} keys. */
    @FunctionalInterface
    private interface QueryCall<R> {
        R run(long index, long wanted);
    }

    private <R> R readProperty(HandleCall<R> call) {
        Lock shared = lockShared();
        try {
            return call.run(openHandle());
        } finally {
            shared.unlock();
        }
    }

    private <R> R queried(int queryLength, long count, QueryCall<R> call) {
        Lock shared = lockShared();
        try {
            long index = usableHandle();
            requireQuery(index, queryLength);
            return call.run(index, wantedCount(index, count));
        } finally {
            shared.unlock();
        }
    }

    private void readInto(int outputLength, LongConsumer call) {
        Lock shared = lockShared();
        try {
            long index = usableHandle();
            requireOutput(index, outputLength);
            call.accept(index);
        } finally {
            shared.unlock();
        }
    }

    private void modify(LongConsumer call) {
        Lock shared = lockModification();
        try {
            call.accept(usableHandle());
        } finally {
            unlockModification(shared);
        }
    }

    private Lock lockShared() {
        if (closed.get()) {
            throw closedIndex();
        }
        Lock shared = lifecycle.readLock();
        shared.lock();
        return shared;
    }

    private Lock lockExclusive() {
        if (closed.get()) {
            throw closedIndex();
        }
        Lock exclusive = lifecycle.writeLock();
        exclusive.lock();
        return exclusive;
    }

    private Lock lockModification() {
        Lock shared = lockShared();
        modifications.readLock().lock();
        return shared;
    }

    private void unlockModification(Lock shared) {
        modifications.readLock().unlock();
        shared.unlock();
    }

    /** The handle of an open index; the caller holds {@link #lifecycle}. */
    private long openHandle() {
        if (handle == 0) {
            throw closedIndex();
        }
        return handle;
    }

    /** The handle of an open index whose content may be used; the caller holds {@link #lifecycle}. */
    private long usableHandle() {
        long index = openHandle();
        if (contentLost) {
            throw new IllegalStateException("The index lost its content to a failed load or view; load or view a file");
        }
        return index;
    }

    private static IllegalStateException closedIndex() {
        return new IllegalStateException("The index is closed");
    }

    private static <T> T requireNonNull(T value, String name) {
        if (value == null) {
            throw new IllegalArgumentException(name + " must not be null");
        }
        return value;
    }

    private static long requireNotNegative(long value, String name) {
        if (value < 0) {
            throw new IllegalArgumentException(name + " must not be negative");
        }
        return value;
    }

    private static void requireCount(long count) {
        requireNotNegative(count, "count");
    }

    private static void requireNativeOrder(Buffer buffer, ByteOrder order, String name) {
        requireNonNull(buffer, name);
        if (order != ByteOrder.nativeOrder()) {
            throw new IllegalArgumentException(name + " must be in the native byte order");
        }
    }

    private static void requireOneVector(long index, Buffer vector) {
        if (vector.remaining() != c_dimensions(index)) {
            throw new IllegalArgumentException("Vector dimensions mismatch");
        }
    }

    private static void requireQuery(long index, int length) {
        if (length < c_dimensions(index)) {
            throw new IllegalArgumentException("Query is shorter than the dimensions");
        }
    }

    private static void requireOutput(long index, int length) {
        if (length < c_dimensions(index)) {
            throw new IllegalArgumentException("Output is shorter than the dimensions");
        }
    }

    private static void requireResults(LongBuffer results, long count) {
        requireCount(count);
        requireNativeOrder(results, results == null ? null : results.order(), "results");
        if (results.isReadOnly()) {
            throw new IllegalArgumentException("results must be writable");
        }
        if (results.remaining() < count) {
            throw new IllegalArgumentException("results has room for " + results.remaining() + " keys, not " + count);
        }
    }

    /**
     * No search returns more keys than the index has room for, so a larger count only makes the native side size its
     * buffers for results that cannot exist.
     */
    private static long wantedCount(long index, long count) {
        return Math.min(count, c_capacity(index));
    }

    // ---------------------------------------------------------------------------------------------------------------
    // Native methods. Handles passed here are always live: the locks above keep close, reserve, load and view from
    // overlapping them.

    private static native long c_create(String metric, String scalar, long dimensions, long capacity,
            long connectivity, long expansionAdd, long expansionSearch);

    private static native void c_destroy(long handle);

    private static native long c_size(long handle);

    private static native long c_capacity(long handle);

    private static native long c_dimensions(long handle);

    private static native long c_connectivity(long handle);

    private static native long c_memory_usage(long handle);

    private static native void c_reserve(long handle, long capacity, long additionThreads, long searchThreads);

    private static native String c_metric_kind(long handle);

    private static native String c_scalar_kind(long handle);

    private static native void c_add_f32(long handle, long firstKey, float[] vectors);

    private static native void c_add_f64(long handle, long firstKey, double[] vectors);

    private static native void c_add_i8(long handle, long firstKey, byte[] vectors);

    private static native void c_add_f32_buffer(long handle, long key, FloatBuffer vector);

    private static native void c_add_f64_buffer(long handle, long key, DoubleBuffer vector);

    private static native void c_add_i8_buffer(long handle, long key, ByteBuffer vector);

    private static native long[] c_search_f32(long handle, float[] query, long wanted);

    private static native long[] c_search_f64(long handle, double[] query, long wanted);

    private static native long[] c_search_i8(long handle, byte[] query, long wanted);

    private static native long[] c_search_f32_buffer(long handle, FloatBuffer query, long wanted);

    private static native long[] c_search_f64_buffer(long handle, DoubleBuffer query, long wanted);

    private static native long[] c_search_i8_buffer(long handle, ByteBuffer query, long wanted);

    private static native int c_search_into_f32_buffer(long handle, FloatBuffer query, LongBuffer results, long wanted);

    private static native int c_search_into_f64_buffer(long handle, DoubleBuffer query, LongBuffer results, long wanted);

    private static native int c_search_into_i8_buffer(long handle, ByteBuffer query, LongBuffer results, long wanted);

    private static native float[] c_get(long handle, long key);

    private static native void c_get_into_f32(long handle, long key, float[] output);

    private static native void c_get_into_f64(long handle, long key, double[] output);

    private static native void c_get_into_i8(long handle, long key, byte[] output);

    private static native boolean c_remove(long handle, long key);

    private static native boolean c_rename(long handle, long from, long to);

    private static native void c_save(long handle, String path);

    private static native void c_load(long handle, String path);

    private static native void c_view(long handle, String path);

    private static native long c_createFromFile(String path, boolean view);

    private static native String c_hardware_acceleration(long handle);

    private static native String[] c_hardware_acceleration_available();

    private static native String[] c_hardware_acceleration_compiled();

    private static native String c_library_version();

    private static native boolean c_uses_dynamic_dispatch();
}
