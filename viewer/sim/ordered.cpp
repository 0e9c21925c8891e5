// The parallel mode's ordered engine. The balls' state (position, previous
// position, cell, ball number) lives in the engine's own arrays, ordered in
// space, from one frame to the next: a ball's neighbours lie near it in
// memory, the walks read positions nearly in sequence, and the step runs over
// contiguous ranges of the arrays, one per thread, so that threads write
// disjoint cache lines. Only the positions go back to the ball arrays (in
// ball order) at the end of a frame, for whatever reads them outside the
// simulation; the neighbour lists are not kept up (refresh_cell_lists
// rebuilds them when another plan runs).
//
// Physics order, fixed whatever the number of threads. The field is cut
// along x into at most SLABS slabs holding about as many balls each, each
// between two others at least two cells thick (as the slab engine does), cut
// afresh every frame from the balls' cells alone. The balls' logical order
// is by slab, then by the Morton code of their cell, ties in ball order. A
// walk reaches only balls within one cell of its own, so the walks of slabs
// s and s + 2 never share a ball: the even slabs run at once, then each odd
// slab once both its neighbours are done. Inside a slab the walks run in
// groups (order_slab): the cells of one colour (coordinates modulo 3), and
// of each cell the k-th ball, in the logical order. Each walk's list holds
// the balls of the 27 cells around its own, cell by cell in a fixed order,
// each cell's balls in the logical order. None of this depends on which
// thread runs what, nor on where the balls lie physically.
//
// Morton rather than Hilbert order: a code is three interleaved coordinates
// (a few shifts and masks), a cell's 27 neighbours lie within a few runs of
// the curve, and a heap of balls on a floor keeps long runs along it. The
// Hilbert curve keeps neighbours a little closer on average but costs a
// table walk per cell and was not measured here.
//
// The logical order is kept from frame to frame: only the balls whose key
// changed (their cell, or their slab when the cut moved) are taken out,
// sorted and merged back. The arrays follow it physically at each re-sort
// (resort_arrays); in between a ball keeps its slot and the walks read
// positions through the slot of each place (item_slot).
//
// Lists cut to reach (ordered_walks.cpp). Where the plan walks in lanes,
// each ball walks only the entries of its cell's list within ORDERED_REACH
// of it when the pass starts, in the list's order, and the lanes sum how far
// each ball is pushed. When no ball travelled ORDERED_TRAVEL, no entry left
// out came within reach, and the pass gave the bits of the whole lists (an
// entry out of reach changes nothing); otherwise the positions go back and
// the whole lists are walked, and the cut lists rest a few frames.
#include "ordered.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "balls.h"
#include "huge_pages.h"
#include "integration_ball.h"
#include "ordered_state.h"
#include "reach_lists.h"
#include "repulsion_walk.h"
#include "sim_plan.h"
#include "sim_team.h"

const char* ordered_stage_name(int stage)
{
    static const char* const NAMES[] = {"import", "keys", "resort", "index", "walks",
                                        "step",   "build", "walk",  "wait"};
    return stage >= 0 && stage < (int)(sizeof NAMES / sizeof NAMES[0]) ? NAMES[stage] : "";
}

void free_ordered_state(SimState* s)
{
    if (!s->ordered)
        return;
    for (OrderedScratch& t : s->ordered->scratch) {
        free_wide_scratch(&t.wide);
        std::free(t.lists);
    }
    std::free(s->ordered->spans);
    delete s->ordered;
    s->ordered = nullptr;
    s->lists_stale = false;
}

void note_balls_written(SimState* s)
{
    s->balls_written = true;
    s->written_balls.clear();
}

void note_ball_written(SimState* s, int i)
{
    if (s->lists_stale && !s->balls_written)
        s->written_balls.push_back(i);
}

bool refresh_cell_lists(SimState* s)
{
    if (!s->lists_stale)
        return true;
    // A fresh table clears lists_stale (free_cell_lists) and forgets the
    // reach lists.
    if (!alloc_cell_lists(s))
        return false;
    bool all = true;
    for (int i = 0; i < s->ball_count; ++i) {
        CellCoord c = ordered_cell_of(s, s->ball_pos[i]);
        s->ball_cell[i] = c;
        all &= block_insert(s, c.x, c.y, c.z, i);
    }
    return all;
}

// Every third bit from bit 0 of v's low 21 bits.
static inline uint64_t spread_bits(uint64_t v)
{
    v &= 0x1fffff;
    v = (v | v << 32) & 0x1f00000000ffffull;
    v = (v | v << 16) & 0x1f0000ff0000ffull;
    v = (v | v << 8) & 0x100f00f00f00f00full;
    v = (v | v << 4) & 0x10c30c30c30c30c3ull;
    v = (v | v << 2) & 0x1249249249249249ull;
    return v;
}

// A cell's key: its slab, then its Morton code. Cells have at most 17 bits
// per axis (fields of side below 2^16), so the code takes 51 bits.
static const int SLAB_SHIFT = 56;
static_assert(ORDERED_SLABS <= 256, "the slab takes the key's top byte");
static inline uint64_t cell_key(int slab, CellCoord c)
{
    return (uint64_t)slab << SLAB_SHIFT | spread_bits((uint64_t)c.x) << 2 | spread_bits((uint64_t)c.y) << 1 |
           spread_bits((uint64_t)c.z);
}

static inline bool item_before(const OrderItem& a, const OrderItem& b)
{
    return a.key < b.key || (a.key == b.key && a.ball < b.ball);
}

// Cuts the field along x into slabs holding about as many balls each (from
// per_x), each between two others at least two cells wide. Returns the
// number of slabs.
static int cut_slabs(OrderedState& o, int side, size_t n)
{
    o.slab_of_x.resize((size_t)side);
    o.slab_x0.assign(1, 0);
    int s = 0, begin = 0;
    size_t seen = 0;
    for (int x = 0; x < side; ++x) {
        if (s < ORDERED_SLABS - 1 && x - begin >= 2 && seen >= n * (size_t)(s + 1) / ORDERED_SLABS) {
            ++s;
            begin = x;
            o.slab_x0.push_back(x);
        }
        o.slab_of_x[(size_t)x] = s;
        seen += (size_t)o.per_x[(size_t)x];
    }
    o.slab_x0.push_back(side);
    return s + 1;
}

// Sizes the arrays for n balls; the positions carry two slots of padding
// (the idle slot the lanes read, and the float after it).
static void size_arrays(OrderedState& o, size_t n)
{
    o.pos.assign(n + 2, Quad{0.0f, 0.0f, 0.0f, 0.0f});
    o.prev.resize(n);
    o.cell.resize(n);
    o.ball.resize(n);
    o.slot_of_ball.resize(n);
    o.items.resize(n);
    o.changed.resize(n);
    o.group.resize(n);
    o.order.resize(n);
    o.seq_cell.resize(n);
    o.list.resize(n);
    o.item_list.resize(n);
}

// Takes every ball in from the ball arrays, sorted afresh. False when the
// index of cells cannot be had.
bool import_balls(SimState* s, OrderedState& o)
{
    const size_t n = (size_t)s->ball_count, side = (size_t)s->cell_side;
    const size_t cells = side * side * side;
    if (o.span_count != cells) {
        std::free(o.spans);
        o.spans = (CellSpan*)std::calloc(cells, sizeof(CellSpan));
        o.span_count = o.spans ? cells : 0;
        if (!o.spans)
            return false;
        // Every list reads 27 of them, three cell planes apart (no figure
        // recorded: the machine was too busy to tell).
        advise_huge_pages(o.spans, cells * sizeof(CellSpan));
    }
    size_arrays(o, n);
    o.per_x.assign(side, 0);
    for (size_t i = 0; i < n; ++i)
        o.per_x[(size_t)ordered_cell_of(s, s->ball_pos[i]).x]++;
    cut_slabs(o, (int)side, n);
    for (size_t i = 0; i < n; ++i) {
        CellCoord c = ordered_cell_of(s, s->ball_pos[i]);
        o.items[i] = OrderItem{cell_key(o.slab_of_x[(size_t)c.x], c), (int)i, (int)i};
    }
    std::sort(o.items.begin(), o.items.end(), item_before);
    for (size_t r = 0; r < n; ++r) {
        int b = o.items[r].ball;
        o.pos[r] = quad_of(s->ball_pos[b]);
        o.prev[r] = s->ball_prev[b];
        o.cell[r] = ordered_cell_of(s, s->ball_pos[b]);
        o.ball[r] = b;
        o.slot_of_ball[(size_t)b] = (int)r;
        o.items[r].slot = (int)r;
    }
    o.lag = 0;
    o.balls = (int)n;
    o.side = (int)side;
    o.pos_source = s->ball_pos;
    o.prev_source = s->ball_prev;
    o.imported = true;
    s->balls_written = false;
    s->written_balls.clear();
    // The neighbour and reach lists would only lag the balls from now on:
    // their memory goes back (at 1,000,000 balls about 100 MB each), and
    // refresh_cell_lists builds them again when another plan runs.
    free_reach_lists(s);
    alloc_cell_lists(s);
    return true;
}

// Takes in the balls written one by one since the last frame.
void take_written_balls(SimState* s, OrderedState& o)
{
    for (int i : s->written_balls) {
        if (i < 0 || i >= o.balls)
            continue;
        size_t r = (size_t)o.slot_of_ball[(size_t)i];
        CellCoord old = o.cell[r], c = ordered_cell_of(s, s->ball_pos[i]);
        o.pos[r] = quad_of(s->ball_pos[i]);
        o.prev[r] = s->ball_prev[i];
        o.per_x[(size_t)old.x]--;
        o.per_x[(size_t)c.x]++;
        o.cell[r] = c;
    }
    s->written_balls.clear();
}

// The frames' order: the slabs cut afresh, every ball's key found again, the
// balls whose key changed taken out, sorted, and merged back into the
// others, which are still in order; then where each slab begins.
void sort_items(SimState* s, OrderedState& o, int threads)
{
    const size_t n = (size_t)o.balls;
    const int slabs = cut_slabs(o, o.side, n);
    std::vector<size_t> changes((size_t)threads, 0);
    run_on_threads(s, threads, [&](int t) {
        size_t begin, end, count = 0;
        share(n, t, threads, &begin, &end);
        const int* slab_of_x = o.slab_of_x.data();
        for (size_t r = begin; r < end; ++r) {
            OrderItem& item = o.items[r];
            CellCoord c = o.cell[(size_t)item.slot];
            uint64_t key = cell_key(slab_of_x[c.x], c);
            bool changed = key != item.key;
            o.changed[r] = changed;
            count += changed;
            item.key = key;
        }
        changes[(size_t)t] = count;
    });
    size_t changed = 0;
    for (size_t c : changes)
        changed += c;
    if (changed > 0) {
        std::vector<OrderItem>& moved = o.moved_items;
        std::vector<OrderItem>& items = o.items;
        moved.clear();
        size_t kept = 0;
        for (size_t r = 0; r < n; ++r) {
            if (o.changed[r])
                moved.push_back(items[r]);
            else
                items[kept++] = items[r];
        }
        std::sort(moved.begin(), moved.end(), item_before);
        // Merged from the back, into the room the moved balls left.
        size_t a = kept, b = moved.size(), to = n;
        while (b > 0) {
            if (a > 0 && item_before(moved[b - 1], items[a - 1]))
                items[--to] = items[--a];
            else
                items[--to] = moved[--b];
        }
        o.lag += changed;
    }
    o.slab_begin.assign((size_t)slabs + 1, (int)n);
    o.slab_begin[0] = 0;
    for (int k = 1; k < slabs; ++k) {
        OrderItem first = {(uint64_t)k << SLAB_SHIFT, -1, 0};
        o.slab_begin[(size_t)k] =
            (int)(std::lower_bound(o.items.begin(), o.items.end(), first, item_before) - o.items.begin());
    }
}

// Whether the arrays are put in order again before this frame's walks
// (see ORDERED_RESORT_SHARE).
bool wants_resort(const OrderedState& o)
{
    return o.lag > 0 && o.lag * (size_t)o.resort_share >= (size_t)o.balls;
}

// Puts the arrays physically in the logical order, in parallel: each place
// takes its ball's state from the slot it had.
void resort_arrays(SimState* s, OrderedState& o, int threads)
{
    const size_t n = (size_t)o.balls;
    o.pos_next.resize(n + 2, Quad{0.0f, 0.0f, 0.0f, 0.0f});
    o.prev_next.resize(n);
    o.cell_next.resize(n);
    o.ball_next.resize(n);
    run_on_threads(s, threads, [&](int t) {
        size_t begin, end;
        share(n, t, threads, &begin, &end);
        for (size_t r = begin; r < end; ++r) {
            size_t from = (size_t)o.items[r].slot;
            int b = o.ball[from];
            o.pos_next[r] = o.pos[from];
            o.prev_next[r] = o.prev[from];
            o.cell_next[r] = o.cell[from];
            o.ball_next[r] = b;
            o.slot_of_ball[(size_t)b] = (int)r;
            o.items[r].slot = (int)r;
        }
    });
    o.pos.swap(o.pos_next);
    o.prev.swap(o.prev_next);
    o.cell.swap(o.cell_next);
    o.ball.swap(o.ball_next);
    o.lag = 0;
}

// The place of each item's slot, for walks while the arrays lag the order.
void note_item_slots(SimState* s, OrderedState& o, int threads)
{
    const size_t n = (size_t)o.balls;
    o.item_slot.resize(n);
    run_on_threads(s, threads, [&](int t) {
        size_t begin, end;
        share(n, t, threads, &begin, &end);
        for (size_t r = begin; r < end; ++r)
            o.item_slot[r] = o.items[r].slot;
    });
}

// Notes where each cell's balls lie among the items, slab by slab; with
// `empty`, empties those entries again. Each cell is written by the one
// thread that has its slab, once.
void index_cells(SimState* s, OrderedState& o, int threads, bool empty)
{
    const int slabs = (int)o.slab_begin.size() - 1;
    run_on_threads(s, threads, [&](int t) {
        for (int k = t; k < slabs; k += threads) {
            const int begin = o.slab_begin[(size_t)k], end = o.slab_begin[(size_t)k + 1];
            for (int r = begin; r < end;) {
                int run_end = r + 1;
                while (run_end < end && o.items[(size_t)run_end].key == o.items[(size_t)r].key)
                    ++run_end;
                CellCoord c = o.cell[(size_t)o.items[(size_t)r].slot];
                o.spans[cell_index(s, c.x, c.y, c.z)] = empty ? CellSpan{0, 0} : CellSpan{r, run_end};
                r = run_end;
            }
        }
    });
}
