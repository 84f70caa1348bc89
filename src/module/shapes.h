// Bindings derived from the SDK's C prototypes.
//
// `Binding<&vqi_fn>::call` is the vectorcall entry of a binding of `vqi_fn`.
// The conversion of each Python argument, and the conversion of the result,
// follow from the C parameter and return types:
//
//   char* followed by int      a request with its length: len() then pointer
//   char*, const char*         a C string (bytes or bytearray)
//   int                        the integer conversion (32-bit signed)
//   double                     the float conversion
//   bool                       the truth value
//   void*                      not a Python parameter: always null
//   char** followed by int*    response out-parameters: the result is
//                              (status, bytes) or (status, None)
//   char** last                address out-parameter: bytes or None
//
// and the C result: void gives None, int and long long an int, double a
// float, const char* a bytes copy.  Arguments convert strictly in C order;
// the first failure raises and the SDK is not called.  Options adjust a
// binding whose Python signature departs from its prototype.
#pragma once
#include <array>
#include <cstddef>
#include <tuple>
#include <type_traits>
#include <utility>

#include "module/args.h"
#include "module/convert.h"
#include "module/sdkcall.h"

namespace csdk {

enum class Role : unsigned char {
    CStr, Request, RequestLength, Int, Double, Bool, IntFlag, Null, Response, ResponseLength, Address
};

// Default options: Python parameters in C order, bool parameters by truth value.
struct Defaults {
    static constexpr bool int_flags = false;  // bool parameters take the integer conversion
    static constexpr std::array<int, 0> order{};  // Python index of each converted C argument
};

template <class T>
struct always_false : std::false_type {};

template <class T>
constexpr Role role_of() {
    if constexpr (std::is_same_v<T, char*> || std::is_same_v<T, const char*>) return Role::CStr;
    else if constexpr (std::is_same_v<T, int>) return Role::Int;
    else if constexpr (std::is_same_v<T, double>) return Role::Double;
    else if constexpr (std::is_same_v<T, bool>) return Role::Bool;
    else if constexpr (std::is_same_v<T, void*>) return Role::Null;
    else if constexpr (std::is_same_v<T, char**>) return Role::Address;
    else if constexpr (std::is_same_v<T, int*>) return Role::ResponseLength;
    else static_assert(always_false<T>::value, "no conversion for this C parameter type");
}

constexpr bool consumes(Role r) {
    return r == Role::CStr || r == Role::Request || r == Role::Int || r == Role::Double ||
           r == Role::Bool || r == Role::IntFlag;
}

template <class Opt, class... A>
constexpr std::array<Role, sizeof...(A)> roles_of() {
    std::array<Role, sizeof...(A)> r{role_of<A>()...};
    constexpr bool mutable_char[] = {std::is_same_v<A, char*>..., false};
    for (size_t i = 0; i < r.size(); ++i) {
        if (i + 1 < r.size() && mutable_char[i] && r[i + 1] == Role::Int) {
            r[i] = Role::Request;
            r[i + 1] = Role::RequestLength;
        }
        if (i + 1 < r.size() && r[i] == Role::Address && r[i + 1] == Role::ResponseLength)
            r[i] = Role::Response;
        if (Opt::int_flags && r[i] == Role::Bool) r[i] = Role::IntFlag;
    }
    return r;
}

template <class Sig>
struct Prototype;
template <class R, class... A>
struct Prototype<R (*)(A...)> {
    using Result = R;
    using Args = std::tuple<A...>;
    static constexpr size_t arity = sizeof...(A);
    template <class Opt>
    static constexpr std::array<Role, sizeof...(A)> roles() { return roles_of<Opt, A...>(); }
};

template <auto Fn, class Opt = Defaults>
struct Binding {
    using P = Prototype<decltype(Fn)>;
    using R = typename P::Result;
    static constexpr auto kRoles = P::template roles<Opt>();
    static constexpr size_t kArity = P::arity;

    static constexpr int count(Role a, Role b = Role::Null, Role c = Role::Null) {
        int n = 0;
        for (Role r : kRoles) n += (r == a || (b != Role::Null && r == b) || (c != Role::Null && r == c));
        return n;
    }
    static constexpr int kParams = [] {
        int n = 0;
        for (Role r : kRoles) n += consumes(r);
        return n;
    }();
    static constexpr bool kResponse = count(Role::Response) == 1;
    static constexpr bool kAddress = count(Role::Address) == 1;
    static constexpr int kStrings = count(Role::CStr, Role::Request);
    static_assert(Opt::order.size() == 0 || Opt::order.size() == size_t(kParams),
                  "a parameter order must name every Python parameter");

    // Python index of the argument converted for C parameter I.
    template <size_t I>
    static constexpr int py_index() {
        int k = 0;
        for (size_t i = 0; i < I; ++i) k += consumes(kRoles[i]);
        if constexpr (Opt::order.size() > 0) return Opt::order[k];
        else return k;
    }

    struct Out {
        char* res = nullptr;
        int len = 0;
    };

    // The Python argument `o` for C parameter I.  With AsciiStr, an exact str
    // stands for the bytes of its ASCII encoding (see is_ascii_str).
    template <size_t I, bool AsciiStr>
    static bool convert_arg(PyObject* o, typename P::Args& c, Loans<kStrings>& loans) {
        constexpr Role role = kRoles[I];
        auto& v = std::get<I>(c);
        if constexpr (role == Role::CStr) {
            return to_cstr<AsciiStr>(o, v, loans);
        } else if constexpr (role == Role::Request) {
            return to_request<AsciiStr>(o, v, std::get<I + 1>(c), loans);
        } else {
            if constexpr (AsciiStr)
                if (CSDK_UNLIKELY(PyUnicode_CheckExact(o))) return convert_encoded<I>(o, c, loans);
            if constexpr (role == Role::Int) return to_int(o, v);
            else if constexpr (role == Role::Double) return to_double(o, v);
            else if constexpr (role == Role::Bool) return to_bool(o, v);
            else {
                static_assert(role == Role::IntFlag);
                int n;
                if (!to_int(o, n)) return false;
                v = n != 0;
                return true;
            }
        }
    }

    // A str where a number or a truth value is wanted converts as its bytes.
    template <size_t I>
    [[gnu::noinline]] static bool convert_encoded(PyObject* o, typename P::Args& c, Loans<kStrings>& loans) {
        Ref bytes(PyUnicode_AsASCIIString(o));
        return bytes && convert_arg<I, false>(bytes.get(), c, loans);
    }

    template <size_t I, bool AsciiStr>
    static bool convert(PyObject* const* a, typename P::Args& c, Out& out, Loans<kStrings>& loans) {
        constexpr Role role = kRoles[I];
        auto& v = std::get<I>(c);
        if constexpr (consumes(role)) return convert_arg<I, AsciiStr>(a[py_index<I>()], c, loans);
        else if constexpr (role == Role::Null) {
            v = nullptr;
            return true;
        } else if constexpr (role == Role::Response || role == Role::Address) {
            v = &out.res;
            return true;
        } else if constexpr (role == Role::ResponseLength) {
            v = &out.len;
            return true;
        } else {
            return true;  // the request's length, set with its pointer
        }
    }

    template <bool AsciiStr, size_t... I>
    static bool convert_all([[maybe_unused]] PyObject* const* a, [[maybe_unused]] typename P::Args& c,
                            [[maybe_unused]] Out& out, [[maybe_unused]] Loans<kStrings>& loans,
                            std::index_sequence<I...>) {
        return (convert<I, AsciiStr>(a, c, out, loans) && ...);
    }

    // The binding's entry points: `call`, and `call_ascii` for the
    // decorator's wrapper (FuncDef::ascii_impl).  Held events
    // (module/sdkcall.h) are delivered first, before anything changes, and
    // again once the SDK call has returned.
    static PyObject* call(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
        if (CSDK_UNLIKELY(sdkcall::any_held()))
            return call_after_held<false>(self, args, nargsf, kwnames);
        return invoke<false>(self, args, nargsf, kwnames);
    }
    static PyObject* call_ascii(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
        if (CSDK_UNLIKELY(sdkcall::any_held()))
            return call_after_held<true>(self, args, nargsf, kwnames);
        return invoke<true>(self, args, nargsf, kwnames);
    }

    template <bool Decorated>
    static constexpr vectorcallfunc ascii_entry() {
        if constexpr (Decorated && kStrings > 0) return &call_ascii;
        else return nullptr;
    }

    // The delivery may drop the caller's last reference to `self` (a
    // decorator's cell rebound), which the binding reads while it binds.
    template <bool AsciiStr>
    [[gnu::noinline, gnu::cold]] static PyObject* call_after_held(PyObject* self, PyObject* const* args,
                                                                  size_t nargsf, PyObject* kwnames) {
        Ref keep = Ref::borrow(self);
        sdkcall::deliver_held();
        return invoke<AsciiStr>(self, args, nargsf, kwnames);
    }

    // Reads nothing of `self` after the conversions, which may run Python
    // code that drops the last reference to it (a decorator's cell rebound).
    template <bool AsciiStr>
    [[gnu::always_inline]] static inline PyObject* invoke(PyObject* self, PyObject* const* args, size_t nargsf,
                                                          PyObject* kwnames) {
        const FuncDef* def = as_function(self)->def;
        PyObject* buf[kParams > 0 ? kParams : 1];
        PyObject* const* a;
        if constexpr (kParams == 0) {
            if (!bind_none(self, nargsf, kwnames)) return nullptr;
            a = buf;
        } else {
            a = bind<kParams>(self, args, nargsf, kwnames, buf);
            if (!a) return nullptr;
        }
        typename P::Args c{};
        Out out;
        Loans<kStrings> loans;
        if (!convert_all<AsciiStr>(a, c, out, loans, std::make_index_sequence<kArity>{})) return nullptr;
        PyObject* result;
        if constexpr (std::is_void_v<R>) {
            sdkcall::call<Fn>(c);
            result = Py_None;
            Py_INCREF(result);
        } else {
            result = to_python(sdkcall::call<Fn>(c), out, def->sdk);
        }
        sdkcall::deliver_held_if_any();  // events held meanwhile
        return result;
    }

    template <class T>  // T = R, which may be void elsewhere
    static PyObject* to_python(T r, const Out& out, const char* sdk) {
        if constexpr (kResponse) return response_result(r, out.res, out.len, sdk);
        else if constexpr (kAddress) return address_result(r, out.res, sdk);
        else if constexpr (std::is_same_v<R, int>) return PyLong_FromLong(r);
        else if constexpr (std::is_same_v<R, long long>) return PyLong_FromLongLong(r);
        else if constexpr (std::is_same_v<R, double>) return PyFloat_FromDouble(r);
        else if constexpr (std::is_same_v<R, const char*>) return text_result(r, sdk);
        else static_assert(always_false<R>::value, "no conversion for this C result type");
    }
};

// Checks at compile time that a row's parameter list matches its prototype.
template <int N>
constexpr const char* params(const char* names) {
    if (count_params(names) != N) throw "parameter list does not match the SDK prototype";
    return names;
}

}  // namespace csdk

// One row of a member table: the Python name, whether it is bound through
// adapt_to_python3, the SDK function, and the Python parameter names (checked
// against the prototype at compile time).
#define CSDK_BIND_WITH(py, decorated, fn, names, options)                                       \
    ::csdk::Member {                                                                            \
        py, decorated,                                                                          \
            ::csdk::FuncDef{py, &::csdk::Binding<&fn, options>::call,                           \
                            ::csdk::params<::csdk::Binding<&fn, options>::kParams>(names), #fn,   \
                            nullptr, -1, nullptr,                                               \
                            ::csdk::Binding<&fn, options>::template ascii_entry<decorated>()}   \
    }
#define CSDK_BIND(py, decorated, fn, names) CSDK_BIND_WITH(py, decorated, fn, names, ::csdk::Defaults)
