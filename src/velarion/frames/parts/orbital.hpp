// Part of velarion.frames.frames' translation unit (included by frames.cpp
// only, after its namespace aliases): the local orbital frame classes PIC
// and RPC, bare frames so far (RPC checks the arguments it will use).
#ifndef VELARION_FRAMES_PARTS_ORBITAL_HPP
#define VELARION_FRAMES_PARTS_ORBITAL_HPP

namespace {

constexpr const char* kRpcNames[] = {"time", "r", "v", "frame"};
constexpr core::Signature kRpcSig{"RPC", kRpcNames, 4};

PyObject* RPC_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    core::Args<4> a;
    if (!core::parse_args(kRpcSig, args, kwds, a)) return nullptr;
    if (!check_writable_2d(a[1]) || !check_writable_2d(a[2])) return nullptr;
    if (!core::check_arg_type(a[0], velarion::time::Time_Type, "time")) return nullptr;
    if (!core::check_arg_type(a[3], fr::Frame_Type, "frame")) return nullptr;
    return frame_alloc(type);
}

PyMethodDef PIC_methods[] = {VELARION_NO_PICKLE_METHODS, {nullptr, nullptr, 0, nullptr}};
PyMethodDef RPC_methods[] = {VELARION_NO_PICKLE_METHODS, {nullptr, nullptr, 0, nullptr}};

PyType_Slot PIC_slots[] = {{Py_tp_doc, (void*)kPICDoc},
                           {Py_tp_new, (void*)core::entry<Frame_new>},
                           VELARION_GC_SLOTS(Frame_traverse, Frame_clear),
                           {Py_tp_methods, PIC_methods},
                           {0, nullptr}};
PyType_Slot RPC_slots[] = {{Py_tp_doc, (void*)kRPCDoc},
                           {Py_tp_new, (void*)core::entry<RPC_new>},
                           VELARION_GC_SLOTS(Frame_traverse, Frame_clear),
                           {Py_tp_methods, RPC_methods},
                           {0, nullptr}};

PyType_Spec PIC_spec = {"velarion.frames.frames.PIC", sizeof(fr::FrameObject), 0, kFlags, PIC_slots};
PyType_Spec RPC_spec = {"velarion.frames.frames.RPC", sizeof(fr::FrameObject), 0, kFlags, RPC_slots};

}  // namespace

#endif
