"""The workbook kernel (`python_server.kernel`, a C++ extension module), its launcher
(`python -m python_server WORKBOOK PORT`) and the components it calls: the host bridge
`quorvel`, the language bridge, the debugger, the agent and the Windows COM event parts."""
