import sys

from vertisift_tools.cli import main

if __name__ == "__main__":
    sys.exit(main())
