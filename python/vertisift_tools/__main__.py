import sys

from vertisift_tools.command.main import main

if __name__ == "__main__":
    sys.exit(main())
