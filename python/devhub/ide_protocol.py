"""The messages the IDE sends to the development hub itself, and what the hub answers.

A message from the IDE whose type is not listed here and that names a connected workbook
(``workbook_id``) goes on to that workbook's kernel unchanged. Field values are JSON; a field
that is missing takes the default given.

Packages
--------

Each workbook has its own list of installed packages. The hub installs them with its package
manager into the cache under its data folder (one folder per package version, shared by the
workbooks that use it), keeps each workbook's list in ``workbook_packages.json`` there, and
gives a workbook's kernel the folders of its packages as import paths, both when the list
changes and whenever the kernel connects.

``"install_package"`` {``workbook_id``, ``package_spec``}
    Installs a spec (``name``, ``name[extra,...]``, optionally ``==``, ``!=`` or ``~=`` and a
    version) with its dependencies for the workbook. The IDE receives, in order:
    ``"package_install_progress"`` (``status`` "installing"); pip's lines as ``"pip_output"``
    {``workbook_id``, ``package_name``, ``output_type`` ("stdout" or "stderr"), ``content``};
    ``"package_install_progress"`` ("installed", or "error" with ``error``); on success
    ``"package_installation_complete"`` {``workbook_id``, ``message``}, the kernel's
    ``"package_paths_updated"`` and ``"workbook_packages_update"``. A spec the package
    manager refuses is answered with one ``"package_install_progress"`` of status "error"
    whose ``error`` is the manager's message, and nothing runs. A failed installation leaves
    the workbook's earlier packages as they were.
``"remove_package"`` {``workbook_id``, ``package_name``}
    Takes the package off the workbook's list; its modules are unloaded from the kernel
    (``"package_paths_updated"``), then ``"workbook_packages_update"``. The cached folder
    stays for other workbooks.
``"get_workbook_packages"`` {``workbook_id``}
    Answered with ``"workbook_packages_update"`` {``workbook_id``, ``packages`` (a list of
    {``name``, ``version``, ``extras``, ``spec``, ``dependencies``}), ``package_errors`` (a
    map of package name to the error of its last failed installation), ``python_paths`` (the
    workbook's package folders)}.
``"get_package_versions"`` {``package_name``}
    Answered with ``"get_package_versions_response"`` {``package_name``, ``versions`` (newest
    first)}.
``"get_package_extras"`` {``package_name``, ``version`` (null: the latest)}
    Answered with ``"get_package_extras_response"`` {``package_name``, ``version``,
    ``extras``}.
``"get_package_info"`` {``package_name``}
    Answered with ``"get_package_info_response"`` {``package_name``, ``info`` (the index's
    description of the package, or null)}.

Every answer to a request carries the request's ``request_id``, so the IDE may wait for it.
"""

from __future__ import annotations

__all__ = ["PACKAGE_REQUESTS"]

INSTALL_PACKAGE = "install_package"
REMOVE_PACKAGE = "remove_package"
GET_WORKBOOK_PACKAGES = "get_workbook_packages"
GET_PACKAGE_VERSIONS = "get_package_versions"
GET_PACKAGE_EXTRAS = "get_package_extras"
GET_PACKAGE_INFO = "get_package_info"

PACKAGE_REQUESTS = frozenset({INSTALL_PACKAGE, REMOVE_PACKAGE, GET_WORKBOOK_PACKAGES,
                              GET_PACKAGE_VERSIONS, GET_PACKAGE_EXTRAS, GET_PACKAGE_INFO})
