// Fast stage 3 of the collision field: the nearest target of every push
// cell, exactly the one the exhaustive search picks.
//
// Each target carries the key K * d2 + position, with K a power of two above
// the list length: the smallest key is the nearest target and, among equally
// near ones, the earliest in the list; keys of different targets never tie.
// The minimum is separable:
//  - along x it is read from the targets grouped by (y, z) line and sorted
//    by x: only the nearest one on each side can win;
//  - then, one x plane at a time, along z and along y, by the lower envelope
//    of the parabolas K * (q - s)^2 + f(s), in exact 64-bit arithmetic.
// Planes are worked out on the threads in increasing order and stored in
// scan order, each after the one before it, so that a stop at a component
// beyond the limit leaves the field and the dots as the scan leaves them.
// A thread that finishes a plane before its turn leaves it ready and goes
// on with the next one; the thread that stores takes every ready plane in
// turn.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

#include "phys_stages.h"

namespace {

const int64_t KEY_NONE = INT64_MAX;
// Columns of a plane transformed together: one cache line of keys.
const int64_t COLUMNS = 8;
// Bytes of plane scratch for all threads together (each thread needs a few
// MB at the largest grids).
const int64_t SCRATCH_BUDGET = (int64_t)256 << 20;

// The targets by (y, z) line of the plane extent, each line sorted by x.
struct TargetLines {
    int64_t lo[3], n[3];          // plane extent: y and z used
    std::vector<uint32_t> start;  // first entry of each line, and the end
    std::vector<uint32_t> ids;    // list positions
    std::vector<int64_t> xs;      // their x, alongside
};

void group_targets(const std::vector<FrontierCell>* targets, TargetLines* lines)
{
    size_t nt = targets->size();
    size_t line_count = (size_t)(lines->n[1] * lines->n[2]);
    auto line_of = [&](const FrontierCell& t) {
        return (size_t)((t.y - lines->lo[1]) * lines->n[2] + (t.z - lines->lo[2]));
    };
    lines->start.assign(line_count + 1, 0);
    for (const FrontierCell& t : *targets)
        ++lines->start[line_of(t) + 1];
    for (size_t l = 0; l < line_count; ++l)
        lines->start[l + 1] += lines->start[l];
    std::vector<uint32_t> fill(lines->start.begin(), lines->start.end() - 1);
    lines->ids.resize(nt);
    for (size_t k = 0; k < nt; ++k)
        lines->ids[fill[line_of((*targets)[k])]++] = (uint32_t)k;
    lines->xs.resize(nt);
    for (size_t l = 0; l < line_count; ++l) {
        uint32_t* b = lines->ids.data() + lines->start[l];
        uint32_t* e = lines->ids.data() + lines->start[l + 1];
        if (e - b > 1)
            std::sort(b, e, [&](uint32_t p, uint32_t q) { return (*targets)[p].x < (*targets)[q].x; });
        for (uint32_t* p = b; p != e; ++p)
            lines->xs[(size_t)(p - lines->ids.data())] = (*targets)[*p].x;
    }
}

// One thread's scratch: the envelope of one line, and per line the first
// target at or beyond the last plane worked out (a thread takes its planes
// in increasing x). The keys of a plane go to a buffer of the PlaneOrder.
struct PlaneScratch {
    std::vector<int64_t> column, sites, values, starts;
    std::vector<uint32_t> ahead;
};

// Smallest integer above a / b (b > 0), exactly.
int64_t first_above(int64_t a, int64_t b)
{
    int64_t q = (int64_t)std::floor((double)a / (double)b);
    while (q * b > a)
        --q;
    while ((q + 1) * b <= a)
        ++q;
    return q + 1;
}

// One contiguous line of n keys, in place: out[q] = min over finite in[s] of
// K (q - s)^2 + in[s]. The envelope keeps, per site, the first position
// where it is the minimum; no two parabolas are equal at a position because
// keys never tie.
void envelope_line(int64_t* data, int64_t n, int64_t key_unit, PlaneScratch* s)
{
    int key_shift = 1;
    while (((int64_t)1 << (key_shift - 1)) < key_unit)
        ++key_shift;
    int64_t* site = s->sites.data();
    int64_t* value = s->values.data();
    int64_t* from = s->starts.data();
    int64_t m = 0;
    for (int64_t q = 0; q < n; ++q) {
        int64_t f = data[q];
        if (f == KEY_NONE)
            continue;
        bool useful = true;
        int64_t start = 0;
        while (m > 0) {
            // q beats r = site[m - 1] at x exactly when 2 x D > a, with
            // D = K (q - r) and a = f - fr + (r + q) D.
            int64_t r = site[m - 1];
            int64_t d = key_unit * (q - r);
            int64_t a = f - value[m - 1] + (r + q) * d;
            if (a < from[m - 1] * 2 * d) {
                --m;  // r is the minimum nowhere
                continue;
            }
            if (a >= (n - 1) * 2 * d) {
                useful = false;  // r beats q up to the end of the line
                break;
            }
            // Neighbouring sites divide by 2K, a power of two: a shift (which
            // floors negative values too).
            start = q - r == 1 ? (a >> key_shift) + 1 : first_above(a, 2 * d);
            break;
        }
        if (!useful)
            continue;
        site[m] = q;
        value[m] = f;
        from[m] = start;
        ++m;
    }
    if (m == 0)
        return;
    int64_t k = 0;
    for (int64_t q = 0; q < n; ++q) {
        while (k + 1 < m && from[k + 1] <= q)
            ++k;
        int64_t d = q - site[k];
        data[q] = value[k] + key_unit * d * d;
    }
}

struct VectorJob {
    const PhysBox* box;
    int64_t g;
    const uint8_t* marks;
    const std::vector<FrontierCell>* targets;
    NormalField* field;
    PhysProgress* pr;
    PushFault* fault;
    TargetLines lines;
    int64_t key_unit;
};

// The keys of plane x over the plane extent, into `keys`.
void compute_plane(const VectorJob* job, int64_t x, PlaneScratch* s, int64_t* keys)
{
    const TargetLines& L = job->lines;
    int64_t ny = L.n[1], nz = L.n[2], K = job->key_unit;
    const int64_t* xs = L.xs.data();
    uint32_t* ahead = s->ahead.data();
    for (int64_t l = 0; l < ny * nz; ++l) {
        // Along x: the nearest target of the line on either side.
        uint32_t first = L.start[(size_t)l], end = L.start[(size_t)l + 1];
        if (first == end) {
            keys[l] = KEY_NONE;
            continue;
        }
        uint32_t right = ahead[l];
        while (right < end && xs[right] < x)
            ++right;
        ahead[l] = right;
        int64_t best = KEY_NONE;
        if (right != end) {
            int64_t d = xs[right] - x;
            best = K * d * d + L.ids[right];
        }
        if (right != first) {
            int64_t d = x - xs[right - 1];
            best = std::min(best, K * d * d + L.ids[right - 1]);
        }
        keys[l] = best;
    }
    for (int64_t y = 0; y < ny; ++y)
        envelope_line(keys + y * nz, nz, K, s);
    // Along y, only for the columns the box reads, COLUMNS at a time so
    // that each row of keys is read and written once per group.
    int64_t* col = s->column.data();
    int64_t z_end = job->box->hi[2] - L.lo[2] + 1;
    for (int64_t z0 = job->box->lo[2] - L.lo[2]; z0 < z_end; z0 += COLUMNS) {
        int64_t w = std::min(COLUMNS, z_end - z0);
        for (int64_t y = 0; y < ny; ++y)
            for (int64_t j = 0; j < w; ++j)
                col[j * ny + y] = keys[y * nz + z0 + j];
        for (int64_t j = 0; j < w; ++j)
            envelope_line(col + j * ny, ny, K, s);
        for (int64_t y = 0; y < ny; ++y)
            for (int64_t j = 0; j < w; ++j)
                keys[y * nz + z0 + j] = col[j * ny + y];
    }
}

// Stores plane x of the box from its keys (none without targets), in scan
// order; false at a component beyond the limit.
bool store_plane(const VectorJob* job, int64_t x, const int64_t* keys)
{
    const PhysBox* box = job->box;
    const TargetLines& L = job->lines;
    bool any = !job->targets->empty();
    uint64_t done = 0;
    bool ok = true;
    for (int64_t y = box->lo[1]; ok && y <= box->hi[1]; ++y) {
        for (int64_t z = box->lo[2]; z <= box->hi[2]; ++z) {
            int64_t index = cell_index(x, y, z, job->g);
            if (!(job->marks[index] & CELL_PUSH))
                continue;
            if (any) {
                int64_t key = keys[(y - L.lo[1]) * L.n[2] + (z - L.lo[2])];
                const FrontierCell& t = (*job->targets)[(size_t)(key & (job->key_unit - 1))];
                if (!store_push(job->field, index, x - t.x, y - t.y, z - t.z)) {
                    *job->fault = PushFault{x, y, z, (int)(x - t.x), (int)(y - t.y), (int)(z - t.z)};
                    ok = false;
                    break;
                }
            }
            ++done;
        }
    }
    progress_advance(job->pr, done);
    return ok;
}

// Planes in increasing order. A thread takes a free buffer, then the next
// plane (so the plane due next always has a buffer), and works out its keys;
// the plane is then ready, and stored by the thread that finds it due.
struct PlaneOrder {
    std::mutex lock;
    std::condition_variable buffer_freed;
    std::vector<std::vector<int64_t>> buffers;
    std::vector<int64_t*> free;     // buffers not in use
    std::vector<int64_t*> ready;    // per plane: its keys once worked out
    int64_t next = 0;               // the next plane to take
    int64_t turn = 0;               // the next plane to store
    bool storing = false;           // a thread stores the ready planes
    std::atomic<bool> stopped{false};
};

void work_planes(const VectorJob* job, PlaneOrder* order, PlaneScratch* s)
{
    const PhysBox* box = job->box;
    int64_t planes = box->hi[0] - box->lo[0] + 1;
    std::unique_lock<std::mutex> hold(order->lock);
    for (;;) {
        order->buffer_freed.wait(hold, [&] { return !order->free.empty() || order->next >= planes; });
        if (order->next >= planes)
            return;
        int64_t p = order->next++;
        if (order->next == planes)
            order->buffer_freed.notify_all();  // the waiting threads are done
        int64_t* keys = order->free.back();
        order->free.pop_back();
        hold.unlock();
        if (!order->stopped.load() && !job->targets->empty())
            compute_plane(job, box->lo[0] + p, s, keys);
        hold.lock();
        order->ready[(size_t)p] = keys;
        if (order->storing)
            continue;  // the storing thread takes it in turn
        order->storing = true;
        while (order->turn < planes && order->ready[(size_t)order->turn]) {
            int64_t t = order->turn;
            int64_t* done = order->ready[(size_t)t];
            hold.unlock();
            if (!order->stopped.load() && !store_plane(job, box->lo[0] + t, done))
                order->stopped = true;
            hold.lock();
            order->ready[(size_t)t] = nullptr;
            order->free.push_back(done);
            order->turn = t + 1;
            order->buffer_freed.notify_all();
        }
        order->storing = false;
    }
}

}  // namespace

bool fill_vectors_fast(const PhysBox* box, int64_t g, const uint8_t* marks, const std::vector<FrontierCell>* targets,
                       NormalField* field, PhysProgress* pr, PushFault* fault, int threads)
{
    if (box_cell_count(box) == 0)
        return true;
    VectorJob job{box, g, marks, targets, field, pr, fault, {}, 1};
    // The plane extent covers the box and every target (targets lie at most
    // one cell outside the box: the last pass does not grow it).
    TargetLines& L = job.lines;
    for (int a = 1; a < 3; ++a) {
        int64_t lo = box->lo[a], hi = box->hi[a];
        for (const FrontierCell& t : *targets) {
            int64_t c = a == 1 ? t.y : t.z;
            lo = std::min(lo, c);
            hi = std::max(hi, c);
        }
        L.lo[a] = lo;
        L.n[a] = hi - lo + 1;
    }
    L.lo[0] = box->lo[0];
    L.n[0] = box->hi[0] - box->lo[0] + 1;
    while (job.key_unit <= (int64_t)targets->size())
        job.key_unit *= 2;
    group_targets(targets, &L);

    // Every thread's scratch is taken before any starts, so that a thread
    // that has taken a plane always stores it.
    // Their scratch is kept under SCRATCH_BUDGET whatever the thread count.
    int64_t longest = std::max(L.n[1], L.n[2]);
    // Two buffers of keys per thread.
    int64_t per_worker = (int64_t)sizeof(int64_t) * (2 * L.n[1] * L.n[2] + COLUMNS * L.n[1] + 3 * longest) +
                         (int64_t)sizeof(uint32_t) * L.n[1] * L.n[2];
    int64_t workers = std::max<int64_t>(1, std::min<int64_t>({threads, L.n[0], SCRATCH_BUDGET / per_worker}));
    std::vector<PlaneScratch> scratch((size_t)workers);
    for (PlaneScratch& s : scratch) {
        s.column.resize((size_t)(COLUMNS * L.n[1]));
        s.sites.resize((size_t)longest);
        s.values.resize((size_t)longest);
        s.starts.resize((size_t)longest);
        s.ahead.assign(L.start.begin(), L.start.end() - 1);
    }
    PlaneOrder order;
    order.buffers.resize((size_t)(2 * workers));
    for (std::vector<int64_t>& b : order.buffers) {
        b.resize((size_t)(L.n[1] * L.n[2]));
        order.free.push_back(b.data());
    }
    order.ready.assign((size_t)L.n[0], nullptr);
    std::vector<std::thread> helpers;
    helpers.reserve((size_t)workers);
    for (int64_t t = 1; t < workers; ++t) {
        try {
            helpers.emplace_back(work_planes, &job, &order, &scratch[(size_t)t]);
        } catch (const std::system_error&) {
            break;  // no more threads: the others share the planes
        }
    }
    work_planes(&job, &order, &scratch[0]);
    for (std::thread& t : helpers)
        t.join();
    return !order.stopped.load();
}
