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
// Physics order, fixed whatever the number of threads. The balls' order
// and their lists are made at a build and kept from frame to frame until
// some ball has travelled half the skin from where it was at the build (the
// step checks every ball; the decision is one for all balls). At a build the
// field is cut along x into at most SLABS slabs holding about as many balls
// each, each between two others more than twice the reach wide (slab_width),
// from the balls' cells alone; the balls' logical order is by slab, then by
// the Morton code of their cell, ties in ball order; the arrays are put
// physically in that order, so that a ball's slot is its place; and each
// ball's list names, by place, every other ball within the reach (1 + skin)
// of it: the cells around it in x, then y, then z order, each cell's balls
// in the logical order (ordered_lists.cpp).
//
// A frame walks the lists: the even slabs at once, then each odd slab once
// both its neighbours are done. A walk touches its ball and those of its
// list, all within the reach of it at the build, so the walks of slabs s and
// s + 2 never share a ball. Inside a slab the walks run in groups
// (order_slab): the blocks of 2x2x2 cells of one colour (block coordinates
// modulo 3), and of each block the k-th ball, in the logical order. Two
// blocks of one colour lie at least four units apart, more than twice the
// reach: their walks share no ball and run side by side. Then every ball
// steps, and the step notes whether one travelled half the skin. None of
// this depends on which thread runs what.
//
// Morton rather than Hilbert order: a code is three interleaved coordinates
// (a few shifts and masks), a cell's neighbours lie within a few runs of the
// curve, a block's cells are one run (the code without its low three bits),
// and a heap of balls on a floor keeps long runs along it. The Hilbert curve
// keeps neighbours a little closer on average but costs a table walk per
// cell and was not measured here.
//
// At a build the logical order is brought up to date: only the balls whose
// key changed (their cell, or their slab when the cut moved) are taken out,
// sorted and merged back (sort_items), then the arrays follow it
// (resort_arrays).
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
    static const char* const NAMES[] = {"import", "keys", "resort", "index", "build",
                                        "walks",  "step", "walk",   "wait"};
    return stage >= 0 && stage < (int)(sizeof NAMES / sizeof NAMES[0]) ? NAMES[stage] : "";
}

void free_ordered_state(SimState* s)
{
    if (!s->ordered)
        return;
    for (OrderedScratch& t : s->ordered->scratch)
        free_wide_scratch(&t.wide);
    for (SlabLists& l : s->ordered->slab_lists)
        std::free(l.ints);
    std::free(s->ordered->spans);
    delete s->ordered;
    s->ordered = nullptr;
    s->lists_stale = false;
}

void free_parallel_scratch(SimState* s)
{
    free_ordered_state(s);
    free_team(s->team);
    s->team = nullptr;
}

void limit_parallel_lists(SimState* s, size_t ints)
{
    if (!s->ordered)
        s->ordered = new OrderedState();
    s->ordered->lists_limit = ints;
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

// Cuts the field along x into slabs holding about as many balls each (from
// per_x), each between two others at least slab_width cells wide. Returns
// the number of slabs.
static int cut_slabs(OrderedState& o, int side, size_t n)
{
    const int width = slab_width(o);
    o.slab_of_x.resize((size_t)side);
    o.slab_x0.assign(1, 0);
    int s = 0, begin = 0;
    size_t seen = 0;
    for (int x = 0; x < side; ++x) {
        if (s < ORDERED_SLABS - 1 && x - begin >= width && seen >= n * (size_t)(s + 1) / ORDERED_SLABS) {
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
    o.built.resize(n);
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
        // A build reads those around every cell, cell planes apart (no
        // figure recorded: the machine was too busy to tell).
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
    o.rebuild = true;
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

// Takes in the balls written since the last frame: those named, or every
// ball. A ball written further than half the skin from where it was at the
// build has the lists built again.
void take_written_balls(SimState* s, OrderedState& o)
{
    const float limit2 = travel_limit2(o);
    auto take = [&](int i) {
        size_t r = (size_t)o.slot_of_ball[(size_t)i];
        o.pos[r] = quad_of(s->ball_pos[i]);
        o.prev[r] = s->ball_prev[i];
        o.rebuild |= travelled_far(s->ball_pos[i], o.built[r], limit2);
    };
    if (s->balls_written) {
        for (int i = 0; i < o.balls; ++i)
            take(i);
    } else {
        for (int i : s->written_balls)
            if (i >= 0 && i < o.balls)
                take(i);
    }
    s->balls_written = false;
    s->written_balls.clear();
}

// Every ball's cell from its position, and the balls per cell column, for a
// build.
void find_cells(SimState* s, OrderedState& o, int threads)
{
    const size_t n = (size_t)o.balls;
    run_on_threads(s, threads, [&](int t) {
        std::vector<int>& per_x = o.scratch[(size_t)t].per_x;
        per_x.assign((size_t)o.side, 0);
        size_t begin, end;
        share(n, t, threads, &begin, &end);
        for (size_t r = begin; r < end; ++r) {
            CellCoord c = ordered_cell_of(s, vec_of(o.pos[r]));
            o.cell[r] = c;
            per_x[(size_t)c.x]++;
        }
    });
    o.per_x.assign((size_t)o.side, 0);
    for (int t = 0; t < threads; ++t)
        for (size_t x = 0; x < (size_t)o.side; ++x)
            o.per_x[x] += o.scratch[(size_t)t].per_x[x];
}

// The order at a build: the slabs cut afresh, every ball's key found again, the
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
    }
    o.slab_begin.assign((size_t)slabs + 1, (int)n);
    o.slab_begin[0] = 0;
    for (int k = 1; k < slabs; ++k) {
        OrderItem first = {(uint64_t)k << SLAB_SHIFT, -1, 0};
        o.slab_begin[(size_t)k] =
            (int)(std::lower_bound(o.items.begin(), o.items.end(), first, item_before) - o.items.begin());
    }
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
