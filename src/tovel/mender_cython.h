// The mends of Cython's own compiler that tovel.mender makes before the
// first translation of a worker: methods replaced where Cython translates
// ordinary Python into something else, or crashes on it. Included by
// mender.cpp alone (the mender's fingerprint is that of its built file).
#pragma once

#include "common.h"
#include "mender_c.h"

#include <functional>
#include <set>
#include <stdexcept>
#include <string>

namespace tovel::mender_cython {

// A method of one of Cython's compiler classes replaced by `fn`, which gets
// the instance and the method it replaces. A class or method that is not
// there (another Cython release) stops the translation, saying which.
template <typename F> inline void replace_method(const char *module, const char *cls, const char *name, F fn) {
    nb::object klass = nb::getattr(nb::module_::import_(module), cls, nb::none());
    nb::object was = klass.is_none() ? nb::none() : nb::getattr(klass, name, nb::none());
    if (was.is_none())
        throw std::runtime_error(std::string("tovel.mender: this Cython's compiler is not the one tovel knows (") +
                                 module + "." + cls + "." + name + " was not found)");
    nb::object bound = nb::cpp_function([fn, was](nb::handle self, nb::args args) { return fn(self, was, args); });
    klass.attr(name) = nb::module_::import_("functools").attr("partialmethod")(bound);
}

inline bool flag(nb::handle type, const char *name) { return truthy(nb::getattr(type, name, nb::bool_(false))); }
inline bool is_int(nb::handle type) { return flag(type, "is_int"); }
inline bool is_float(nb::handle type) { return flag(type, "is_float"); }

// Whether the values of C type `a` keep their Python type (int, float,
// complex, or a tuple of those) as values of C type `b`.
inline bool keeps(nb::handle a, nb::handle b) {
    nb::object ra = a.attr("resolve")(), rb = b.attr("resolve")();
    if (flag(ra, "is_pyobject") || flag(rb, "is_pyobject"))
        return true;
    if (flag(ra, "is_ctuple") && flag(rb, "is_ctuple")) {
        nb::object ca = ra.attr("components"), cb = rb.attr("components"); // a tuple or a list
        if (nb::len(ca) != nb::len(cb))
            return false;
        for (size_t i = 0; i < nb::len(ca); ++i)
            if (!keeps(ca[nb::int_(i)], cb[nb::int_(i)]))
                return false;
        return true;
    }
    auto kind = [](nb::handle t) { return flag(t, "is_complex") ? 3 : flag(t, "is_float") ? 2 : flag(t, "is_int") ? 1 : 0; };
    return !kind(ra) || !kind(rb) || kind(ra) == kind(rb);
}

/// Calls `fn` on `node` and on each node below it (Cython's `child_attrs`),
/// each once.
inline void each_node(nb::handle node, nb::handle node_class, std::set<PyObject *> &seen,
                      const std::function<void(nb::handle)> &fn) {
    if (!seen.insert(node.ptr()).second)
        return;
    fn(node);
    for (nb::handle name : nb::getattr(node, "child_attrs", nb::tuple())) {
        nb::object child = nb::getattr(node, name, nb::none());
        nb::list children;
        if (nb::isinstance<nb::list>(child))
            children = nb::borrow<nb::list>(child);
        else
            children.append(child);
        for (nb::handle c : children)
            if (PyObject_IsInstance(c.ptr(), node_class.ptr()) == 1)
                each_node(c, node_class, seen, fn);
    }
}

/// Mends Cython's compiler where it translates ordinary Python wrongly or
/// crashes on it; done once in each translation worker, before it translates.
inline void mend_cython() {
    static bool done = false;
    if (done)
        return;
    nb::object pyrex_types = nb::module_::import_("Cython.Compiler.PyrexTypes");
    nb::object object_type = pyrex_types.attr("py_object_type");
    // `10 ** (6 - len(s))`, `2 ** len(s)`, `1 << len(s)`, `n >> len(s)`: an
    // operation of two C integers (len() is one, and so are literals beside
    // it) is computed in C, where the power of a possibly negative exponent
    // is a double (1000.0), a power or left shift past 64 bits overflows and
    // a shift by 64 or more, or by a negative count, is undefined (no
    // ValueError). Python's ints do none of that: such an operation takes
    // Python's path, with exact ints.
    auto exact = [](nb::handle self, nb::handle was, nb::args args) -> nb::object {
        nb::object py = was(self, *args);
        if (truthy(py))
            return py;
        std::string op = nb::cast<std::string>(self.attr("operator"));
        return nb::bool_((op == "**" || op == "<<" || op == ">>") && is_int(args[0]) && is_int(args[1]));
    };
    replace_method("Cython.Compiler.ExprNodes", "PowNode", "is_py_operation_types", exact);
    replace_method("Cython.Compiler.ExprNodes", "IntBinopNode", "is_py_operation_types", exact);
    // `x // 0.3` of a C double: Cython's floor division rounds otherwise than
    // the interpreter's (-1.5 // 0.3 is -5.0 where Python has -6.0). It
    // takes Python's path, as a power does.
    replace_method("Cython.Compiler.ExprNodes", "DivNode", "is_py_operation_types",
                   [](nb::handle self, nb::handle was, nb::args args) -> nb::object {
                       nb::object py = was(self, *args);
                       if (truthy(py) || nb::cast<std::string>(self.attr("operator")) != "//")
                           return py;
                       return nb::bool_(is_float(args[0]) || is_float(args[1]));
                   });
    // A division by zero of C numbers raises the running interpreter's
    // error for the same operation of Python numbers, whose words differ
    // across releases: the message names the operation and the operands'
    // kind, as they were before they were made the quotient's type (a C
    // double for two ints), which the C fix ("division by zero" in
    // mender_c.h) turns into that error.
    auto real = [](nb::handle node) {
        return is_float(node.attr("operand1").attr("type")) || is_float(node.attr("operand2").attr("type"));
    };
    replace_method("Cython.Compiler.ExprNodes", "DivNode", "analyse_operation",
                   [real](nb::handle self, nb::handle was, nb::args args) -> nb::object {
                       self.attr("tovel_real") = nb::bool_(real(self));
                       return was(self, *args);
                   });
    auto zero = [real](nb::handle self, nb::handle, nb::args) -> nb::object {
        std::string op = nb::cast<std::string>(self.attr("operator"));
        bool kind = nb::hasattr(self, "tovel_real") ? truthy(self.attr("tovel_real")) : real(self);
        return nb::str(("tovel: " + op + " of " + (kind ? "float" : "int") + " by zero").c_str());
    };
    replace_method("Cython.Compiler.ExprNodes", "DivNode", "zero_division_message", zero);
    replace_method("Cython.Compiler.ExprNodes", "ModNode", "zero_division_message", zero);
    // `x = 0.0` then `x = len(s)`: Cython gives a local the C type that spans
    // all it is assigned, a double here, and `x` is 2.0 where Python has 2.
    // A float type is inferred only where every assignment is a float.
    nb::object inference = nb::module_::import_("Cython.Compiler.TypeInference");
    nb::object spanning = inference.attr("safe_spanning_type");
    inference.attr("safe_spanning_type") = nb::cpp_function(
        [spanning, object_type](nb::list types, nb::args rest) -> nb::object {
            nb::object out = spanning(types, *rest);
            if (truthy(nb::getattr(out, "is_float", nb::bool_(false))))
                for (nb::handle t : types)
                    if (!truthy(nb::getattr(t, "is_float", nb::bool_(false))))
                        return object_type;
            return out;
        });
    // `if x: d = 1; return d` then `return d`: Cython refuses a read that no
    // path assigns before, which the interpreter compiles and raises
    // UnboundLocalError for only if it runs; such a read gets the check of
    // any read that may find the name unbound. A C local has no unbound
    // state (`if x: d = 0.5` then `return d` reads garbage): a local read
    // where it may be unbound is a Python object.
    nb::module_::import_("Cython.Compiler.Options").attr("error_on_uninitialized") = nb::bool_(false);
    nb::object unspecified = pyrex_types.attr("unspecified_type");
    replace_method("Cython.Compiler.TypeInference", "SimpleAssignmentTypeInferer", "infer_types",
                   [object_type, unspecified](nb::handle self, nb::handle was, nb::args args) -> nb::object {
                       nb::handle scope = args[0];
                       for (nb::handle entry : scope.attr("entries").attr("values")()) {
                           if (!entry.attr("type").is(unspecified) || !flag(entry, "is_local"))
                               continue;
                           for (nb::handle read : entry.attr("cf_references")) { // FlowControl's, each of a node
                               nb::object node = nb::getattr(read, "node", nb::none());
                               if (flag(nb::getattr(node, "cf_state", nb::none()), "cf_maybe_null")) {
                                   self.attr("set_entry_type")(entry, object_type, scope);
                                   break;
                               }
                           }
                       }
                       return was(self, *args);
                   });
    // `__qualname__: str` in a class body (a Protocol naming a function's
    // attributes): the names a class body starts with (`__module__`,
    // `__qualname__`) have no position of their own, which the annotation's
    // item of the class's `__annotations__` takes (a compiler crash). It
    // takes the annotation's.
    replace_method("Cython.Compiler.ExprNodes", "Py3ClassNode", "analyse_annotations",
                   [](nb::handle self, nb::handle was, nb::args args) -> nb::object {
                       for (nb::handle entry : args[0].attr("entries").attr("values")()) {
                           nb::object annotation = nb::getattr(entry, "annotation", nb::none());
                           if (!annotation.is_none() && entry.attr("pos").is_none())
                               entry.attr("pos") = annotation.attr("pos");
                       }
                       return was(self, *args);
                   });
    // `x = 1.5 if c else len(s)`, `max(0.5, len(s))`, `f or n`: the value
    // that may be either operand gets a C type both convert to, a double
    // here, and `x` is 2.0 where Python has 2; two C tuples of other item
    // types (`(1.0,) if c else (255,)`) have no such type and the
    // translation stops. Where the operands' Python types differ the
    // value is a Python object, which each operand converts to as itself.
    nb::object independent = pyrex_types.attr("independent_spanning_type");
    pyrex_types.attr("independent_spanning_type") = nb::cpp_function(
        [independent, object_type](nb::handle a, nb::handle b) -> nb::object {
            nb::object out = independent(a, b);
            if (flag(out, "is_error"))
                return flag(a, "is_error") || flag(b, "is_error") ? out : object_type;
            if (!flag(out, "is_pyobject") && !(keeps(a, out) && keeps(b, out)))
                return object_type;
            return out;
        });
    // `def replace(self, name=_KEEP, _KEEP=_KEEP)`: the default of an
    // earlier argument reads a global that a later argument is named after.
    // Cython counts the read as a use of that argument before its
    // declaration and stops the translation; a default is read where the
    // function is defined, and an argument's declaration is the function's
    // first: the check is passed over for arguments.
    replace_method("Cython.Compiler.ParseTreeTransforms", "AnalyseDeclarationsTransform", "visit_CNameDeclaratorNode",
                   [](nb::handle self, nb::handle was, nb::args args) -> nb::object {
                       nb::handle node = args[0];
                       nb::object name = node.attr("name");
                       nb::object seen = self.attr("seen_vars_stack")[nb::int_(-1)];
                       nb::object entry = self.attr("current_env")().attr("lookup_here")(name);
                       if (entry.is_none() || !flag(entry, "is_arg") || !truthy(seen.attr("__contains__")(name)))
                           return was(self, *args);
                       seen.attr("discard")(name);
                       try {
                           nb::object out = was(self, *args);
                           seen.attr("add")(name);
                           return out;
                       } catch (...) {
                           seen.attr("add")(name);
                           throw;
                       }
                   });
    // `except (FailedCheck, *more()):`: Cython takes each item of the tuple
    // as an exception to match and refuses a starred one. Such a clause
    // matches the tuple the items make, as the interpreter does.
    nb::object tuple_node = nb::module_::import_("Cython.Compiler.ExprNodes").attr("TupleNode");
    replace_method("Cython.Compiler.Nodes", "ExceptClauseNode", "analyse_expressions",
                   [tuple_node](nb::handle self, nb::handle was, nb::args args) -> nb::object {
                       nb::object pattern = self.attr("pattern");
                       bool starred = false;
                       if (!pattern.is_none())
                           for (nb::handle p : pattern)
                               starred = starred || flag(p, "is_starred");
                       if (starred) {
                           nb::list one;
                           one.append(tuple_node(pattern[nb::int_(0)].attr("pos"), "args"_a = builtin("list")(pattern)));
                           self.attr("pattern") = one;
                       }
                       return was(self, *args);
                   });
    // `[n for n in locals()]` in a class body: the comprehension's outermost
    // iterable is read in the class's scope, whose node Cython looks for on
    // top of its stack and finds the iterator there instead (a compiler
    // crash). The class's own node is the one below with the same scope.
    replace_method("Cython.Compiler.ParseTreeTransforms", "TransformBuiltinMethods", "current_scope_node",
                   [](nb::handle self, nb::handle was, nb::args args) -> nb::object {
                       nb::object node = was(self, *args);
                       nb::list stack(self.attr("env_stack"));
                       nb::object env = stack[nb::len(stack) - 1][1];
                       if (!truthy(nb::getattr(env, "is_py_class_scope", nb::bool_(false))) ||
                           nb::hasattr(node, "dict"))
                           return node;
                       for (size_t i = nb::len(stack); i-- > 0;)
                           if (stack[i][1].is(env) && nb::hasattr(stack[i][0], "dict"))
                               return stack[i][0];
                       return node;
                   });
    // ...and that iterable is the class's namespace, a mapping of any type
    // (a metaclass's __prepare__ makes it).
    replace_method("Cython.Compiler.ExprNodes", "PyClassLocalsExprNode", "infer_type",
                   [object_type](nb::handle, nb::handle, nb::args) -> nb::object { return object_type; });
    // `a, b = seq[i - 1:i + 1]`: to infer the types of the targets, Cython
    // asks for the item at the slice's start, which is no constant here (a
    // compiler crash). Any item of the sequence has the type it has then.
    nb::object not_a_constant = nb::module_::import_("Cython.Compiler.ExprNodes").attr("not_a_constant");
    replace_method("Cython.Compiler.ExprNodes", "SliceIndexNode", "inferable_item_node",
                   [not_a_constant](nb::handle self, nb::handle was, nb::args args) -> nb::object {
                       nb::object start = self.attr("start");
                       bool unknown = !start.is_none() && !truthy(start.attr("has_constant_result")());
                       nb::object base_type = nb::getattr(self.attr("base"), "type", nb::none());
                       if (unknown && (base_type.is_none() || !truthy(nb::getattr(base_type, "is_ctuple", nb::bool_(false)))))
                           return self.attr("base").attr("inferable_item_node")(0);
                       return was(self, *args);
                   });
    // `{globals, eval}`, `f(globals)`, `(classmethod,)` in a class body: a
    // builtin that Cython calls as a C function of its own (globals, and
    // classmethod in a class body) is, as a value, a name the builtins lack
    // (a NameError at import) or a wrapper of that C function. As a value it
    // is the builtin itself.
    nb::object name_node = nb::module_::import_("Cython.Compiler.ExprNodes").attr("NameNode");
    nb::object builtins = nb::module_::import_("builtins");
    replace_method("Cython.Compiler.ExprNodes", "NameNode", "coerce_to",
                   [object_type, name_node, builtins](nb::handle self, nb::handle was, nb::args args) -> nb::object {
                       nb::handle dst = args[0], env = args[1];
                       nb::object entry = nb::getattr(self, "entry", nb::none());
                       if (!dst.is(object_type) || entry.is_none() || !flag(entry, "is_cfunction") ||
                           !flag(entry.attr("scope"), "is_builtin_scope"))
                           return was(self, *args);
                       nb::object name = self.attr("name"), var = nb::getattr(entry, "as_variable", nb::none());
                       if ((!var.is_none() && var.attr("name").equal(name)) || !nb::hasattr(builtins, name))
                           return was(self, *args);
                       // The module scope gives `globals` its C function unless asked for the old way.
                       nb::object module = env.attr("global_scope")();
                       nb::object old = nb::getattr(module, "old_style_globals", nb::int_(0));
                       module.attr("old_style_globals") = nb::int_(1);
                       try {
                           var = env.attr("declare_builtin")(name, self.attr("pos"));
                       } catch (...) {
                           module.attr("old_style_globals") = old;
                           throw;
                       }
                       module.attr("old_style_globals") = old;
                       nb::object node = name_node(self.attr("pos"), "name"_a = name);
                       node.attr("entry") = var;
                       node.attr("analyse_rvalue_entry")(env);
                       return node;
                   });
    // `if next:` (a slip the interpreter runs: a function is true), `not
    // len`, `x if iter else y`, `next and 1`: such a builtin as a condition
    // is its C function to Cython, which refuses it as a boolean. It is
    // tested as the builtin itself, and `next and 1` is that function where
    // the source's value is. A name bound in the module or the function is
    // not the builtin's entry and is left as it is.
    auto builtin_function = [](nb::handle node) {
        nb::object entry = nb::getattr(node, "entry", nb::none());
        return !entry.is_none() && flag(entry, "is_cfunction") && flag(entry.attr("scope"), "is_builtin_scope") &&
               flag(node.attr("type"), "is_cfunction");
    };
    replace_method("Cython.Compiler.ExprNodes", "NameNode", "coerce_to_boolean",
                   [object_type, builtin_function](nb::handle self, nb::handle was, nb::args args) -> nb::object {
                       if (!builtin_function(self))
                           return was(self, *args);
                       return self.attr("coerce_to")(object_type, args[0]).attr("coerce_to_boolean")(args[0]);
                   });
    // (An operand of `and`/`or` is wrapped before it is coerced: the name
    // is made the builtin first.)
    replace_method("Cython.Compiler.ExprNodes", "BoolBinopNode", "_wrap_operand",
                   [object_type, builtin_function](nb::handle self, nb::handle was, nb::args args) -> nb::object {
                       nb::object operand = args[0];
                       if (builtin_function(operand) && flag(self.attr("type"), "is_pyobject"))
                           operand = operand.attr("coerce_to")(object_type, args[1]);
                       return was(self, operand, args[1]);
                   });
    // `f(**{''.join(x): 1})`: Cython 3.3.0 passes the keywords of a dict
    // display in a call's `**` by vectorcall, and crashes where a key is
    // computed (it reads the key's value after releasing it). A key that is
    // not a string literal leaves the call the ordinary one. Later releases,
    // which keep the keys apart (`kwnames_tuple`), are left alone.
    nb::object method_call = nb::module_::import_("Cython.Compiler.ExprNodes").attr("PyMethodCallNode");
    if (!nb::hasattr(method_call, "kwnames_tuple"))
        replace_method("Cython.Compiler.Optimize", "FinalOptimizePhase", "visit_GeneralCallNode",
                       [](nb::handle self, nb::handle was, nb::args args) -> nb::object {
                           nb::handle node = args[0];
                           nb::object kw = node.attr("keyword_args");
                           if (!kw.is_none() && flag(kw, "is_dict_literal"))
                               for (nb::handle pair : kw.attr("key_value_pairs"))
                                   if (!flag(pair.attr("key"), "is_string_literal")) {
                                       self.attr("visitchildren")(node);
                                       return nb::borrow(node);
                                   }
                           return was(self, *args);
                       });
    // `def f(a, b, /, c)` called `f(a=1, b=2, c=3)`: Cython's parsing counts
    // too few positional arguments, or an unexpected keyword, where the
    // interpreter names the positional-only parameters given by keyword
    // (tests compare the words). The check comes before the parsing, unless
    // a `**kwargs` takes such keywords.
    nb::object code_module = nb::module_::import_("Cython.Compiler.Code");
    nb::object posonly = code_module.attr("UtilityCode")("proto"_a = mender_c::POSONLY_PROTO,
                                                         "impl"_a = mender_c::POSONLY_IMPL,
                                                         "name"_a = "TovelPosonlyKeywords");
    nb::object encoded = nb::module_::import_("Cython.Compiler.StringEncoding").attr("EncodedString");
    replace_method("Cython.Compiler.Nodes", "DefNodeWrapper", "generate_tuple_and_keyword_parsing_code",
                   [posonly, encoded](nb::handle self, nb::handle was, nb::args args) -> nb::object {
                       nb::handle code = args[1];
                       std::string names;
                       for (nb::handle arg : args[0])
                           if (flag(arg, "pos_only"))
                               names += nb::cast<std::string>(nb::str(arg.attr("name"))) + " ";
                       nb::object qualname = nb::getattr(self.attr("target"), "qualname", nb::none());
                       if (!names.empty() && self.attr("starstar_arg").is_none() && !qualname.is_none()) {
                           code.attr("globalstate").attr("use_utility_code")(posonly);
                           nb::object kwds = nb::module_::import_("Cython.Compiler.Naming").attr("kwds_cname");
                           code.attr("putln")(nb::str("if (unlikely({0}) && unlikely(__tovel_posonly_keywords({0}, {1}, {2}) < 0)) {3}")
                                                  .format(kwds, qualname.attr("as_c_string_literal")(),
                                                          encoded(names).attr("as_c_string_literal")(),
                                                          code.attr("error_goto")(self.attr("pos"))));
                       }
                       return was(self, *args);
                   });
    // `isinstance(obj, (list, tuple, Meta))`: Cython tests each type of the
    // tuple in turn, the others than builtins by PyObject_IsInstance, whose
    // error (-1 with the exception set: a dead weakref.proxy's
    // ReferenceError, an `__instancecheck__` that raises) it took for true:
    // the function returned with the exception set, a SystemError. Those
    // calls are checked as a lone isinstance's is.
    nb::object node_class = nb::module_::import_("Cython.Compiler.Nodes").attr("Node");
    nb::object arg_type = pyrex_types.attr("CFuncTypeArg");
    nb::list two;
    two.append(arg_type("arg", object_type, nb::none()));
    two.append(arg_type("type", object_type, nb::none()));
    nb::object checked = pyrex_types.attr("CFuncType")(pyrex_types.attr("c_bint_type"), two, "exception_value"_a = -1);
    nb::object capi_call = nb::module_::import_("Cython.Compiler.ExprNodes").attr("PythonCapiCallNode");
    replace_method("Cython.Compiler.Optimize", "OptimizeBuiltinCalls", "_handle_simple_function_isinstance",
                   [checked, capi_call, node_class](nb::handle self, nb::handle was, nb::args args) -> nb::object {
                       nb::object done = was(self, *args);
                       std::set<PyObject *> seen;
                       each_node(done, node_class, seen, [&](nb::handle n) {
                           if (n.type().is(capi_call) &&
                               nb::getattr(n.attr("function"), "cname", nb::none()).equal(nb::str("PyObject_IsInstance")))
                               n.attr("function").attr("type") = checked;
                       });
                       return done;
                   });
    // A bytes literal first in a module, class or function (`br"""..."""`):
    // no docstring in Python 3 (`__doc__` is None), which Cython takes for
    // one and crashes on (a str operation on bytes). It is no docstring.
    replace_method("Cython.Compiler.ParseTreeTransforms", "PostParse", "visit_ModuleNode",
                   [node_class](nb::handle self, nb::handle was, nb::args args) -> nb::object {
                       std::set<PyObject *> seen;
                       each_node(args[0], node_class, seen, [&](nb::handle n) {
                           nb::object doc = nb::getattr(n, "doc", nb::none());
                           if (nb::isinstance<nb::bytes>(doc) ||
                               (PyObject_IsInstance(doc.ptr(), node_class.ptr()) == 1 &&
                                nb::isinstance<nb::bytes>(nb::getattr(doc, "value", nb::none())))) {
                               n.attr("doc") = nb::none();
                               if (nb::hasattr(n, "doc_node"))
                                   n.attr("doc_node") = nb::none();
                           }
                       });
                       return was(self, *args);
                   });
    done = true;
}

} // namespace tovel::mender_cython
