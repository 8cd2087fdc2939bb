"""The `vertisift` command: `parser` (its arguments), `checks` (what is checked before any
work) and `main` (the entry point and the subcommands)."""
