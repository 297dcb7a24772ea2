// The three index queries: thin delegations to the resolvers, with a check of what they return.
#include "core/errors.hpp"
#include "core/objects.hpp"
#include "core/text.hpp"
#include "manager/package_manager.hpp"

namespace manager {
namespace {

// The resolvers' contract is a list (or a dict) or None; anything else is the resolver's bug and
// is refused here rather than handed to the hub.
nb::object checked(nb::object result, bool (*accepts)(nb::handle), const char *expected,
                   const char *query) {
    if (result.is_none() || accepts(result))
        return result;
    nb::str message = core::text(query, " returned ", core::type_name(result), ", expected ",
                                 expected, " or None");
    core::raise(PyExc_TypeError, message);
}

bool is_list(nb::handle value) { return PyList_Check(value.ptr()); }
bool is_dict(nb::handle value) { return PyDict_Check(value.ptr()); }

} // namespace

core::Task<nb::object> get_available_versions(nb::object self, nb::object package_name) {
    nb::object resolver = self.attr("version_resolver");
    nb::object versions = co_await resolver.attr("get_available_versions")(package_name);
    co_return checked(std::move(versions), is_list, "a list", "get_available_versions");
}

core::Task<nb::object> get_package_extras(nb::object self, nb::object package_name,
                                          nb::object version) {
    nb::object resolver = self.attr("extras_resolver");
    nb::object extras = co_await resolver.attr("get_package_extras")(package_name, version);
    co_return checked(std::move(extras), is_list, "a list", "get_package_extras");
}

core::Task<nb::object> get_package_info(nb::object self, nb::object package_name) {
    nb::object client = self.attr("index_client");
    nb::object info = co_await client.attr("get_package_info")(package_name);
    co_return checked(std::move(info), is_dict, "a dict", "get_package_info");
}

} // namespace manager
