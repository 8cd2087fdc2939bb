import sys

from vertisift_cli.cli import main

if __name__ == "__main__":
    sys.exit(main())
