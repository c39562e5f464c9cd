"""``python -m lumetra``: the same command line as the ``lumetra`` script."""

from .cli import main

raise SystemExit(main())
