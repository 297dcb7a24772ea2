// The IDE connection client module: its imports, constants and the IdeLink class, set up at load.

#include "idelink/idelink_module.hpp"
#include "idelink/ide_link.hpp"

namespace nb = nanobind;
using namespace idelink;

NB_MODULE(idelink, m) {
    ModuleState &st = state();
    core::start_module(st, m);

    st.asyncio = nb::module_::import_("asyncio");
    st.threading = nb::module_::import_("threading");
    nb::object json = nb::module_::import_("json");
    st.json_loads = json.attr("loads");
    st.json_dumps = json.attr("dumps");
    st.json_decode_error = json.attr("JSONDecodeError");
    nb::object exceptions = nb::module_::import_("websockets.exceptions");
    st.connection_closed = exceptions.attr("ConnectionClosed");
    st.invalid_status = exceptions.attr("InvalidStatus");
    st.websocket_connect = nb::module_::import_("websockets.asyncio.client").attr("connect");
    st.uuid4 = nb::module_::import_("uuid").attr("uuid4");

    // The IDE's own pieces and the Qt classes the handlers use, as module globals.
    nb::object gui = nb::module_::import_("ide.gui");
    for (const char *name : {"run_in_qt_thread", "OutputLevel", "MonacoEditor"})
        m.attr(name) = gui.attr(name);
    m.attr("QTimer") = nb::module_::import_("PySide6.QtCore").attr("QTimer");
    m.attr("QMessageBox") = nb::module_::import_("PySide6.QtWidgets").attr("QMessageBox");
    st.output_simple = gui.attr("OutputLevel").attr("SIMPLE");
    st.output_detailed = gui.attr("OutputLevel").attr("DETAILED");

    m.def("backoff_delay", &backoff_delay, nb::arg("base"), nb::arg("cap"), nb::arg("attempt"),
          "The wait before reconnection round `attempt`: base * 2 ** (attempt - 1), at most cap.");
    bind_ide_link(m);
}
