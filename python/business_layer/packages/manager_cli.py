"""Command line for the package manager, for people at a terminal.

    python -m business_layer.packages.manager_cli install SPEC [--target DIR]
    python -m business_layer.packages.manager_cli cache NAME VERSION [--extra NAME ...]
    python -m business_layer.packages.manager_cli versions NAME
    python -m business_layer.packages.manager_cli extras NAME [VERSION]
    python -m business_layer.packages.manager_cli info NAME

The manager itself is an extension module, which ``python -m`` cannot run; this module
drives it. pip's output is printed as it arrives (its standard error to standard error),
then the installed path or the error. Exit status: 0 on success, 1 on failure, 2 for a
usage error.
"""

from __future__ import annotations

import argparse
import asyncio
import sys
from typing import List, Optional

from business_layer.packages.manager import PackageManager
from business_layer.settings_manager import SettingsManager

__all__ = ["main"]


def _parser() -> argparse.ArgumentParser:
    common = argparse.ArgumentParser(add_help=False)
    common.add_argument("--base-dir", default=None,
                        help="folder holding the hidden cache .quorvel_packages (default: here)")
    common.add_argument("--settings", metavar="FILE",
                        help="JSON file of settings (keys: see business_layer.settings_manager)")
    common.add_argument("--index-url", help="primary package index (a 'simple' URL)")
    common.add_argument("--extra-index-url", action="append", default=[], metavar="URL",
                        help="secondary index, tried after the primary (repeatable)")
    common.add_argument("--no-index", action="store_true", help="install from --find-links only")
    common.add_argument("--find-links", action="append", default=[], metavar="PATH",
                        help="folder or URL of wheels (repeatable)")
    common.add_argument("--timeout", type=float, help="index query time-out in seconds")

    parser = argparse.ArgumentParser(
        prog="python -m business_layer.packages.manager_cli",
        description="Install packages with the hub's package manager and query package indexes.")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    install = commands.add_parser("install", parents=[common],
                                  help="install a package spec with pip")
    install.add_argument("spec", help='e.g. "requests==2.32.3" or "httpx[http2]"')
    install.add_argument("--target", metavar="DIR",
                         help="install into DIR (default: the hidden cache directory)")

    cache = commands.add_parser("cache", parents=[common],
                                help="install one version without dependencies into its own "
                                     "cache folder")
    cache.add_argument("name")
    cache.add_argument("version")
    cache.add_argument("--extra", action="append", default=[], metavar="NAME",
                       help="an extra to install (repeatable)")

    versions = commands.add_parser("versions", parents=[common],
                                   help="list available versions, newest first")
    versions.add_argument("name")

    extras = commands.add_parser("extras", parents=[common], help="list the extras of a release")
    extras.add_argument("name")
    extras.add_argument("version", nargs="?", default=None, help="default: the latest release")

    info = commands.add_parser("info", parents=[common], help="name, latest version and summary")
    info.add_argument("name")
    return parser


def _settings(args: argparse.Namespace) -> SettingsManager:
    settings = SettingsManager.from_file(args.settings) if args.settings else SettingsManager()
    if args.index_url:
        settings.set("packages.index_url", args.index_url)
    if args.extra_index_url:
        settings.set("packages.extra_index_urls", args.extra_index_url)
    if args.no_index:
        settings.set("packages.no_index", True)
    if args.find_links:
        settings.set("packages.find_links", args.find_links)
    if args.timeout is not None:
        settings.set("packages.query_timeout", args.timeout)
    return settings


async def _print_installation(stream) -> int:
    """Prints an installation's pairs as they come; 0 when it ended well."""
    status = 1
    async for output_type, content in stream:
        if output_type == "stdout":
            print(content, flush=True)
        elif output_type == "stderr":
            print(content, file=sys.stderr, flush=True)
        elif output_type == "success":
            print(content, flush=True)
        elif output_type in ("path", "cached"):
            print(f"Installed in {content}", flush=True)
            status = 0
        elif output_type == "error":
            print(f"error: {content}", file=sys.stderr, flush=True)
            status = 1
    return status


async def _run(args: argparse.Namespace) -> int:
    manager = PackageManager(args.base_dir, _settings(args))
    if args.command == "install":
        return await _print_installation(manager.install_package(args.spec, args.target))
    if args.command == "cache":
        return await _print_installation(
            manager.install_package_to_cache(args.name, args.version, args.extra or None))
    if args.command == "versions":
        found = await manager.get_available_versions(args.name)
        if not found:
            print(f"error: no versions of {args.name} found", file=sys.stderr)
            return 1
        print("\n".join(found))
        return 0
    if args.command == "extras":
        found = await manager.get_package_extras(args.name, args.version)
        if found:
            print("\n".join(found))
        else:
            print(f"{args.name} has no extras, or none could be found", file=sys.stderr)
        return 0
    found = await manager.get_package_info(args.name)
    if "error" in found:
        print(f"error: {found['error']}", file=sys.stderr)
        return 1
    print(f"{found.get('name', '')} {found.get('latest_version', '')}")
    if found.get("summary"):
        print(found["summary"])
    return 0


def main(argv: Optional[List[str]] = None) -> int:
    args = _parser().parse_args(argv)
    try:
        return asyncio.run(_run(args))
    except KeyboardInterrupt:
        return 130
    except OSError as error:
        print(f"error: {error}", file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
