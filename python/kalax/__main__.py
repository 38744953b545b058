"""python3 -m kalax register|unregister [--registry FILE] [-q]: what
`kalax register` and `kalax unregister` do, through this package's library."""
import argparse
import os
import sys


def registry_file():
    """The file the library's registry uses, as it chooses it."""
    if os.environ.get("KALAX_REGISTRY"):
        return os.environ["KALAX_REGISTRY"]
    data = os.environ.get("XDG_DATA_HOME")
    base = data if data and data.startswith("/") else os.path.join(os.environ.get("HOME", ""), ".local/share")
    return os.path.join(base, "kalax", "registry.reg")


def main(argv=None):
    parser = argparse.ArgumentParser(prog="python3 -m kalax",
                                     description="Make the automation objects KalAx.IoXml and KalAx.KalLog known "
                                                 "to hosts, or forget them.")
    parser.add_argument("command", choices=["register", "unregister"])
    parser.add_argument("--registry", metavar="FILE", help="the registry file (else $KALAX_REGISTRY, else "
                                                           "~/.local/share/kalax/registry.reg)")
    parser.add_argument("-q", "--quiet", action="store_true", help="say nothing on success")
    args = parser.parse_args(argv)
    if args.registry:
        # The library reads the variable when it registers.
        os.environ["KALAX_REGISTRY"] = args.registry
    import kalax
    try:
        if args.command == "register":
            kalax.register()
        else:
            kalax.unregister()
    except kalax.ComError as exc:
        print("python3 -m kalax %s: %s in %s: %s" % (args.command, args.command + "ing", registry_file(), exc),
              file=sys.stderr)
        return 1
    if not args.quiet:
        if args.command == "register":
            print("registered KalAx.IoXml, KalAx.KalLog and the type library KalAx 1.0 in %s" % registry_file())
        else:
            print("removed KalAx.IoXml and KalAx.KalLog from %s (the type library stays registered)"
                  % registry_file())
    return 0


if __name__ == "__main__":
    sys.exit(main())
