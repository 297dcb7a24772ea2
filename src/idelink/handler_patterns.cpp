// The two handler patterns of the dispatch table: forwards and panel calls. GUI thread.
#include "core/objects.hpp"
#include "core/text.hpp"
#include "idelink/idelink_module.hpp"
#include "idelink/main_window.hpp"
#include "idelink/message_fields.hpp"
#include "idelink/message_table.hpp"

namespace idelink {
namespace {

bool condition_holds(Condition condition, nb::handle window, nb::handle workbook_id) {
    if (!truthy(workbook_id))
        return false;
    if (condition == Condition::WorkbookGiven)
        return true;
    nb::object shown = window.attr("package_manager").attr("get_current_workbook")();
    return shown.equal(workbook_id);
}

nb::object argument_of(const PanelArgument &argument, nb::handle message) {
    if (!argument.field)
        return nb::borrow(message);
    // A fresh default each time, as message.get(field, []) would make: panels may keep it.
    nb::object fallback =
        argument.fallback == Fallback::EmptyList ? nb::object(nb::list()) : nb::object(nb::none());
    return field(message, nb::str(argument.field), fallback);
}

} // namespace

void forward_to_main_window(const char *method, nb::handle self, nb::handle message) {
    main_window(self).attr(method)(message);
}

void call_panel(const PanelCall &call, nb::handle self, nb::handle message) {
    nb::object window = main_window(self);
    nb::object workbook_id = field(message, INTERNED("workbook_id"));
    if (!condition_holds(call.condition, window, workbook_id))
        return;
    nb::object method = window.attr(call.panel).attr(call.method);
    nb::object argument = argument_of(call.argument, message);
    if (call.passes_workbook_id)
        method(workbook_id, argument);
    else
        method(argument);
    if (call.debug_log)
        log().debug(call.debug_log, workbook_id);
}

} // namespace idelink
