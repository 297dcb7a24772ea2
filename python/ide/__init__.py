"""The IDE side: the connection client `ide.gui.idelink` (a C++ extension module) and the
window it drives."""
