// velarion.iers._interp: the compiled evaluation loop of velarion.iers.EOP.
// The Python package owns the tables, the modes and the messages; this
// module only runs the per-date loop over a packed table, and exports the
// status codes of its result as module constants for the package to read.
#include "velarion/_core/core.hpp"
#include "velarion/_core/numpy.hpp"
#include "velarion/_core/parallel.hpp"
#include "velarion/iers/kernels/interp.hpp"

#include <vector>

namespace core = velarion::core;
namespace kn = velarion::iers::kernels;

namespace {

core::ModuleOnce g_once;

// From this many dates on, the seven results share one allocation.
constexpr npy_intp kBlockMin = 1 << 16;
// From this many dates on, they are split over threads: each then has
// milliseconds of work (about 9 ns a date), far more than starting a thread
// and waiting for it to be scheduled costs. With fewer, the wait could
// exceed the work itself (10^5 dates: 0.9 ms of work, 4 ms of wall time on
// a loaded machine).
constexpr npy_intp kThreadedMin = 1 << 19;

constexpr const char* kEvalNames[] = {"t", "packed", "mjd", "uniform", "hold"};
constexpr core::Signature kEvalSig{"evaluate", kEvalNames, 5};

// evaluate(t, packed, mjd, uniform, hold) ->
//     (status, index, mjd, pm_x, pm_y, dX, dY, lod, ut1_utc)
PyObject* py_evaluate(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[5];
    if (!core::parse_args(kEvalSig, args, nargs, kwnames, a)) return nullptr;

    double scalar = 0.0;
    core::View1D tview;
    core::Strided1D<const double> t;
    if (PyFloat_Check(a[0])) {
        scalar = PyFloat_AS_DOUBLE(a[0]);
        t = {reinterpret_cast<char*>(&scalar), 1, sizeof(double)};
    } else {
        if (!tview.acquire(a[0], false)) return nullptr;
        auto s = tview.span1();
        t = {s.base, s.size, s.stride};
    }

    core::View2D packed;
    core::View1D grid;
    if (!packed.acquire(a[1], false) || !grid.acquire(a[2], false)) return nullptr;
    const core::index_t n = grid.shape(0);
    auto ps = packed.span2();
    auto gs = grid.span1();
    if (ps.rows != n || ps.cols != kn::kRow ||
        (n > 0 && (ps.col_stride != sizeof(double) || ps.row_stride != kn::kRow * sizeof(double) ||
                   gs.stride != sizeof(double)))) {
        PyErr_SetString(PyExc_ValueError, "evaluate: the table must be C-contiguous (n, 12) with n dates");
        return nullptr;
    }
    int uniform = PyObject_IsTrue(a[3]);
    int hold = PyObject_IsTrue(a[4]);
    if (uniform < 0 || hold < 0) return nullptr;

    kn::EopGrid g;
    g.packed = reinterpret_cast<const double*>(ps.base);
    g.mjd = reinterpret_cast<const double*>(gs.base);
    g.n = n;
    g.uniform = uniform != 0;
    g.hold = hold != 0;

    npy_intp size = t.size;
    core::Ref res = core::Ref::steal(PyTuple_New(2 + 1 + kn::kFields));
    if (!res) return nullptr;
    double* out[1 + kn::kFields];
    if (size < kBlockMin) {
        for (int k = 0; k < 1 + kn::kFields; ++k) {
            core::Ref arr = core::empty(1, &size);
            if (!arr) return nullptr;
            out[k] = core::data_of(arr.get());
            PyTuple_SET_ITEM(res.get(), 2 + k, arr.release());
        }
    } else {
        // Many dates: one block whose rows are the results. One large
        // allocation is mapped with far fewer page faults than seven.
        npy_intp shape[2] = {1 + kn::kFields, size};
        core::Ref block = core::empty(2, shape);
        if (!block) return nullptr;
        for (int k = 0; k < 1 + kn::kFields; ++k) {
            out[k] = core::data_of(block.get()) + k * size;
            core::Ref row = core::Ref::steal(PyArray_NewFromDescr(&PyArray_Type, PyArray_DescrFromType(NPY_DOUBLE), 1,
                                                                  &size, nullptr, out[k], NPY_ARRAY_CARRAY, nullptr));
            if (!row || PyArray_SetBaseObject(core::as_array(row.get()), block.new_ref()) < 0) return nullptr;
            PyTuple_SET_ITEM(res.get(), 2 + k, row.release());
        }
    }
    kn::EopResult r;
    if (size < kThreadedMin) {
        r = kn::eop_interpolate(g, t, out);
    } else {
        // Many dates: contiguous ranges on every core; the result is that of
        // the first range that fails, else held when any range held.
        std::vector<kn::EopResult> parts(static_cast<size_t>(core::worker_count(size, core::default_threads())));
        core::ReleaseGil nogil;
        core::parallel_ranges(
            size, core::default_threads(), [&](core::index_t w, core::index_t begin, core::index_t end) {
                const core::Strided1D<const double> range{t.base + begin * t.stride, end - begin, t.stride};
                double* range_out[1 + kn::kFields];
                for (int k = 0; k < 1 + kn::kFields; ++k) range_out[k] = out[k] + begin;
                kn::EopResult& part = parts[static_cast<size_t>(w)];
                part = kn::eop_interpolate(g, range, range_out);
                if (part.index >= 0) part.index += begin;
            });
        for (const kn::EopResult& part : parts) {
            if (part.status == kn::EopStatus::non_finite || part.status == kn::EopStatus::out_of_range) {
                r = part;
                break;
            }
            if (part.status == kn::EopStatus::held) r.status = kn::EopStatus::held;
        }
    }
    PyObject* status = PyLong_FromLong(static_cast<long>(r.status));
    if (!status) return nullptr;
    PyTuple_SET_ITEM(res.get(), 0, status);
    PyObject* index = PyLong_FromSsize_t(r.index);
    if (!index) return nullptr;
    PyTuple_SET_ITEM(res.get(), 1, index);
    return res.release();
}

PyMethodDef interp_methods[] = {
    {"evaluate", VELARION_FASTCALL(py_evaluate), METH_FASTCALL | METH_KEYWORDS,
     "evaluate(t, packed, mjd, uniform, hold)\n--\n\n"
     "Interpolates a packed daily table at the UTC MJDs t (a float or a 1-D float64 buffer).\n"
     "Returns (status, index, mjd, pm_x, pm_y, dX, dY, lod, ut1_utc); status is one of the module's\n"
     "constants OK, HELD (some dates held), NON_FINITE (a non-finite date) and OUT_OF_RANGE (a date\n"
     "outside the table); index is the first such date."},
    {nullptr, nullptr, 0, nullptr}};

PyObject* interp_create(PyObject* spec, PyModuleDef*) { return g_once.create(spec); }

// The status codes of evaluate(), by name.
constexpr struct {
    const char* name;
    kn::EopStatus status;
} kStatusNames[] = {{"OK", kn::EopStatus::ok},
                    {"HELD", kn::EopStatus::held},
                    {"NON_FINITE", kn::EopStatus::non_finite},
                    {"OUT_OF_RANGE", kn::EopStatus::out_of_range}};

int interp_exec(PyObject* module) {
    if (int r = g_once.enter(module, "_interp"); r <= 0) return r;
    VELARION_CHECK(core::import_numpy());
    for (const auto& s : kStatusNames) {
        VELARION_CHECK(PyModule_AddIntConstant(module, s.name, static_cast<long>(s.status)));
    }
    return 0;
error:
    return -1;
}

PyModuleDef_Slot interp_slots[] = {
    {Py_mod_create, (void*)core::entry<interp_create>}, {Py_mod_exec, (void*)core::entry<interp_exec>}, {0, nullptr}};

PyModuleDef interp_def = {PyModuleDef_HEAD_INIT,
                          "velarion.iers._interp",
                          "Evaluation loop of velarion.iers.EOP.",
                          0,
                          interp_methods,
                          interp_slots,
                          nullptr,
                          nullptr,
                          nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__interp() { return PyModuleDef_Init(&interp_def); }
