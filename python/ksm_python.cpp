// The Python module ksm: the C API of libksm with NumPy views of the balls.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <atomic>
#include <memory>
#include <string>

#include "ksm/ksm.h"

namespace py = pybind11;

static PyObject* ksm_error = nullptr;
static PyObject* compile_error = nullptr;

[[noreturn]] static void raise_error(PyObject* type, const std::string& text)
{
    PyErr_SetString(type, text.c_str());
    throw py::error_already_set();
}

// Raises the exception a failed call's status stands for, with its message.
static void check_status(ksm_status status, const char* message)
{
    if (status == KSM_OK)
        return;
    std::string text = message && message[0] ? message : "the call failed";
    if (status == KSM_ERROR_ARGUMENT)
        raise_error(PyExc_ValueError, text);
    raise_error(status == KSM_ERROR_COMPILE ? compile_error : ksm_error, text);
}

static std::string path_text(const py::object& path)
{
    return py::str(py::module_::import("os").attr("fspath")(path)).cast<std::string>();
}

// A read-only NumPy view (rows x 3) of memory that `owner` keeps alive.
template <class T>
static py::array view_rows(const T* data, size_t rows, std::shared_ptr<void> owner)
{
    auto* keep = new std::shared_ptr<void>(std::move(owner));
    py::capsule base(keep, [](void* p) { delete (std::shared_ptr<void>*)p; });
    py::array_t<T> a({(py::ssize_t)rows, (py::ssize_t)3}, {(py::ssize_t)(3 * sizeof(T)), (py::ssize_t)sizeof(T)},
                     rows ? data : nullptr, base);
    a.attr("setflags")(py::arg("write") = false);
    return std::move(a);
}

// ---------------------------------------------------------------------------
// Maps
// ---------------------------------------------------------------------------

struct MapHandle {
    ksm_map* map = nullptr;
    ~MapHandle() { ksm_map_free(map); }
};

struct PyMap {
    std::shared_ptr<MapHandle> handle;

    const ksm_map* get() const
    {
        if (!handle)
            raise_error(PyExc_ValueError, "the map is closed");
        return handle->map;
    }
    ksm_map_info info() const
    {
        ksm_map_info i{};
        ksm_map_info_get(get(), &i);
        return i;
    }
};

static py::tuple box_tuple(const ksm_box& b)
{
    return py::make_tuple(py::make_tuple(b.lo[0], b.lo[1], b.lo[2]), py::make_tuple(b.hi[0], b.hi[1], b.hi[2]));
}

static PyMap load_map(const py::object& path)
{
    std::string p = path_text(path);
    auto handle = std::make_shared<MapHandle>();
    char message[512];
    check_status(ksm_map_load(p.c_str(), &handle->map, message, sizeof message), message);
    return PyMap{handle};
}

static py::list map_objects(const PyMap& m)
{
    ksm_map_info info = m.info();
    py::list objects;
    for (int i = 0; i < info.object_count; ++i) {
        ksm_object o{};
        ksm_map_object(m.get(), i, &o);
        py::dict d;
        d["vertices"] = view_rows(o.vertices, o.vertex_count, m.handle);
        d["normals"] = view_rows(o.normals, o.normals ? o.vertex_count : 0, m.handle);
        d["faces"] = view_rows(o.faces, o.face_count, m.handle);
        d["box"] = py::make_tuple(o.box[0], o.box[1], o.box[2], o.box[3], o.box[4], o.box[5]);
        objects.append(d);
    }
    return objects;
}

static py::dict map_layers(const PyMap& m)
{
    ksm_map_info info = m.info();
    py::dict d;
    d["present"] = (bool)info.has_layers;
    ksm_box start{};
    d["start"] = ksm_map_start_box(m.get(), &start) == KSM_OK ? py::object(box_tuple(start)) : py::none();
    py::list teleports;
    for (int i = 0; i < info.teleport_count; ++i) {
        ksm_box from{}, to{};
        ksm_map_teleport(m.get(), i, &from, &to);
        teleports.append(py::make_tuple(box_tuple(from), box_tuple(to)));
    }
    d["teleports"] = teleports;
    return d;
}

// ---------------------------------------------------------------------------
// Simulations
// ---------------------------------------------------------------------------

struct SimHandle {
    ksm_sim* sim = nullptr;
    std::shared_ptr<MapHandle> map;  // the map the balls run on outlives them
    std::atomic<bool> busy{false};
    ~SimHandle() { ksm_sim_free(sim); }
};

struct PySim {
    std::shared_ptr<SimHandle> handle;

    SimHandle* get() const
    {
        if (!handle)
            raise_error(PyExc_ValueError, "the simulation is closed");
        return handle.get();
    }
};

static PySim create_sim(const PyMap& map, int count, double g, double cl, double geom, double t, bool layers,
                        int threads, py::object seed)
{
    ksm_settings s;
    ksm_settings_init(&s);
    s.count = count;
    s.g = g;
    s.cl = cl;
    s.geom = geom;
    s.t = t;
    s.layers = layers;
    s.threads = threads;
    if (!seed.is_none()) {
        long long v = seed.cast<long long>();
        if (v < 0 || v > 0xFFFFFFFFLL)
            raise_error(PyExc_ValueError, "the seed must be a whole number from 0 to 4294967295");
        s.seed_given = 1;
        s.seed = (unsigned)v;
    }
    auto handle = std::make_shared<SimHandle>();
    handle->map = map.handle;
    char message[512];
    check_status(ksm_sim_create(map.get(), &s, &handle->sim, message, sizeof message), message);
    return PySim{handle};
}

static void step_sim(const PySim& s, long frames)
{
    SimHandle* h = s.get();
    if (h->busy.exchange(true))
        raise_error(ksm_error, "the simulation is stepped by another thread");
    char message[512];
    ksm_status status;
    {
        py::gil_scoped_release release;
        status = ksm_sim_step(h->sim, frames, message, sizeof message);
    }
    h->busy = false;
    check_status(status, message);
}

static py::str compile_map(const py::object& ksd, const py::object& out, const py::object& src_dir,
                           bool exhaustive, int threads)
{
    std::string ksd_path = path_text(ksd), out_path = path_text(out);
    std::string src = src_dir.is_none() ? "" : path_text(src_dir);
    if (threads < 0)
        raise_error(PyExc_ValueError, "threads must not be negative");
    std::string transcript;
    ksm_compile_options o;
    ksm_compile_options_init(&o);
    o.src_dir = src_dir.is_none() ? nullptr : src.c_str();
    o.exhaustive = exhaustive;
    o.threads = threads;
    o.transcript = [](const char* text, size_t size, void* user) { ((std::string*)user)->append(text, size); };
    o.transcript_user = &transcript;
    char message[512];
    ksm_status status;
    {
        py::gil_scoped_release release;
        status = ksm_compile(ksd_path.c_str(), out_path.c_str(), &o, message, sizeof message);
    }
    check_status(status, message);
    return py::str(transcript);
}

static py::dict read_settings(const py::object& path)
{
    std::string p = path_text(path);
    ksm_settings s;
    ksm_settings_init(&s);
    char message[512];
    check_status(ksm_settings_read(p.c_str(), &s, message, sizeof message), message);
    py::dict d;
    d["count"] = s.count;
    d["g"] = s.g;
    d["cl"] = s.cl;
    d["geom"] = s.geom;
    d["t"] = s.t;
    d["layers"] = (bool)s.layers;
    d["threads"] = s.threads;
    return d;
}

PYBIND11_MODULE(ksm, m)
{
    m.doc() = "ksm: compile maps and run the granular water simulation from Python.\n\n"
              "compile() turns a map description into a compiled map; Map loads one; Simulation runs\n"
              "balls on it, with positions, previous positions and colours as read-only NumPy views.\n"
              "Several Simulations live in one process independently; each is stepped by one thread at a time.";
    ksm_error = PyErr_NewExceptionWithDoc("ksm.Error", "A failure of the ksm library, with its message.",
                                          PyExc_RuntimeError, nullptr);
    compile_error = PyErr_NewExceptionWithDoc("ksm.CompileError", "The compiler failed; the message is its error.",
                                              ksm_error, nullptr);
    m.attr("Error") = py::handle(ksm_error);
    m.attr("CompileError") = py::handle(compile_error);
    m.attr("__version__") = ksm_version();

    m.def("compile", &compile_map, py::arg("ksd"), py::arg("out"), py::arg("src_dir") = py::none(),
          py::arg("exhaustive") = false, py::arg("threads") = 0,
          "Compiles the description `ksd` into the map `out` as ksm_compiler does and returns the\n"
          "transcript. src_dir: the prefix of every mesh path (default: as ksm_compiler);\n"
          "exhaustive: the slow exhaustive search (the same bytes); threads: 0 for one per core.\n"
          "Raises ksm.CompileError with the compiler's message on failure.");
    m.def("read_settings", &read_settings, py::arg("path"),
          "Section [balls] of a settings file as a dict of Simulation's keyword arguments\n"
          "(count, g, cl, geom, t, layers, threads); missing keys get their defaults.");

    py::class_<PyMap>(m, "Map", "A compiled map (.ksm), loaded and checked as the viewer does.")
        .def(py::init(&load_map), py::arg("path"), "Loads the compiled map at `path`; raises ksm.Error.")
        .def_property_readonly("field_size", [](const PyMap& m) { return m.info().field_size; },
                               "Balls live in [1, field_size] on each axis.")
        .def_property_readonly("grid_size", [](const PyMap& m) { return m.info().grid_size; },
                               "Cells of the collision field per axis.")
        .def_property_readonly("objects", &map_objects,
                               "The objects: dicts of read-only views 'vertices', 'normals' (float32, (V, 3)),\n"
                               "'faces' (uint32, (F, 3)) and the placed 'box'.")
        .def_property_readonly("layers", &map_layers,
                               "The layers: 'present', 'start' ((lo, hi) units or None) and 'teleports'.")
        .def("close", [](PyMap& m) { m.handle.reset(); },
             "Releases the map once no Simulation or view needs it; using it afterwards raises.")
        .def("__enter__", [](PyMap& m) -> PyMap& { return m; })
        .def("__exit__", [](PyMap& m, py::args) { m.handle.reset(); });

    py::class_<PySim>(m, "Simulation",
                      "Balls on a map, started at random as the viewer starts them. The same settings and\n"
                      "seed give the checksum of `ksm_viewer --headless`. One thread at a time.")
        .def(py::init(&create_sim), py::arg("map"), py::arg("count") = 10000, py::arg("g") = 20.0,
             py::arg("cl") = 20.0, py::arg("geom") = 300.0, py::arg("t") = 1000.0, py::arg("layers") = false,
             py::arg("threads") = 0, py::arg("seed") = py::none(),
             "Starts `count` balls on `map` with the settings file's keys; seed None: from the clock.")
        .def("step", &step_sim, py::arg("frames") = 1, "Runs `frames` frames, without holding the GIL.")
        .def_property_readonly("count", [](const PySim& s) { return ksm_sim_count(s.get()->sim); })
        .def_property_readonly("frames", [](const PySim& s) { return ksm_sim_frames(s.get()->sim); },
                               "Frames run so far.")
        .def_property_readonly(
            "positions",
            [](const PySim& s) { return view_rows(ksm_sim_positions(s.get()->sim), ksm_sim_count(s.get()->sim), s.handle); },
            "Read-only float32 view (N, 3) of the positions; it follows the steps (no copy).")
        .def_property_readonly(
            "previous_positions",
            [](const PySim& s) {
                return view_rows(ksm_sim_previous_positions(s.get()->sim), ksm_sim_count(s.get()->sim), s.handle);
            },
            "Read-only float32 view (N, 3) of the positions before the last step.")
        .def_property_readonly(
            "velocities",
            [](const PySim& s) {
                SimHandle* h = s.get();
                py::array_t<float> v({(py::ssize_t)ksm_sim_count(h->sim), (py::ssize_t)3});
                ksm_sim_velocities(h->sim, v.mutable_data());
                return v;
            },
            "float32 array (N, 3) of position minus previous position: computed, a new array.")
        .def_property_readonly(
            "colors",
            [](const PySim& s) { return view_rows(ksm_sim_colors(s.get()->sim), ksm_sim_count(s.get()->sim), s.handle); },
            "Read-only float32 view (N, 3) of the colours (r, g, b).")
        .def_property_readonly("gravity", [](const PySim& s) { return ksm_sim_gravity(s.get()->sim); },
                               "The active gravity per step (negative: down).")
        .def("lift_gravity", [](const PySim& s) { ksm_sim_set_gravity(s.get()->sim, KSM_GRAVITY_LIFT); },
             "Gravity off, as while the viewer's middle button is held.")
        .def("reverse_gravity", [](const PySim& s) { ksm_sim_set_gravity(s.get()->sim, KSM_GRAVITY_REVERSE); },
             "Gravity reversed and on, as the button's release or key g.")
        .def(
            "swap_map",
            [](const PySim& s, const PyMap& map) {
                SimHandle* h = s.get();
                char message[512];
                check_status(ksm_sim_swap_map(h->sim, map.get(), message, sizeof message), message);
                h->map = map.handle;
                return py::str(message);
            },
            py::arg("map"), "Puts the balls into another map as live reload does; returns a warning or ''.")
        .def("checksum", [](const PySim& s) { return ksm_sim_checksum(s.get()->sim); },
             "The checksum ksm_viewer --headless prints, as an int.")
        .def("close", [](PySim& s) { s.handle.reset(); },
             "Releases the simulation once no view needs it; using it afterwards raises.")
        .def("__enter__", [](PySim& s) -> PySim& { return s; })
        .def("__exit__", [](PySim& s, py::args) { s.handle.reset(); });
}
