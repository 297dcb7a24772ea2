"""``make demo`` (``python -m devhub.demo``): the system end to end on this machine.

``hub_steps`` drives a kernel as the hub would; ``ide_steps`` then uses a real IDE window as a
person does (``package_steps``, ``debug_steps`` and ``language_steps`` are its later parts),
through ``ide_driver``, which the IDE tests use too; last, ``sheet_steps`` types into a
workbook's page in a headless browser and checks what its Python functions calculate, and
``live_steps`` shows a live workbook: a streaming cell, a Change handler and a timer in the
page, and the IDE's Functions, Events and Timers panels.
"""
