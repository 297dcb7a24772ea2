"""``python -m devhub.demo``: the scripted session of ``make demo``."""

from .hub_steps import main

main()
