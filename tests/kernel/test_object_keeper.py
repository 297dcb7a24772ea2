"""Kept objects as user code and the hub see them: one cell keeps, a later one reads, and every
change is announced; reprs of user objects cannot take the kernel down."""
import pytest

from python_server import kernel as kernel_module
from python_server import quorvel

WB = "Book1.xlsx"


async def cell(running, code):
    """Runs a cell, then asks for the registry: every message up to the registry's reply.

    Notifications are not awaited by the cell, so they may follow its result; the registry
    request is read after they were posted, so its reply comes after them."""
    messages = await running.run_cell(code)
    await running.send({"type": "get_object_registry"})
    return messages + await running.collect(("object_registry_response",))


def of_type(messages, message_type):
    return [m for m in messages if m["type"] == message_type]


class TestKeepingObjects:
    async def test_a_later_cell_reads_what_an_earlier_one_kept(self, running):
        messages = await cell(running, "import quorvel\nquorvel.save_object('model', {'w': 2})")
        update, = of_type(messages, "object_registry_update")
        assert list(update.items()) == [
            ("type", "object_registry_update"), ("action", "update"), ("key", "model"),
            ("object_type", "dict"), ("repr", "{'w': 2}"), ("workbook_id", WB)]

        messages = await cell(running, "quorvel.get_object('model')['w'] * 21")
        assert of_type(messages, "result_output")[0]["content"] == "Out: 42\n"
        assert messages[-1] == {"type": "object_registry_response", "workbook_id": WB,
                                "objects": [{"key": "model", "type": "dict", "repr": "{'w': 2}"}]}

    async def test_replacing_clearing_and_absent_keys(self, running):
        messages = await cell(running, "import quorvel\n"
                                       "quorvel.save_object('a', 1); quorvel.save_object('b', 2)\n"
                                       "quorvel.save_object('a', 'one')\n"
                                       "quorvel.clear_object('b'); quorvel.clear_object('never')")
        assert [(m["action"], m.get("key")) for m in of_type(messages, "object_registry_update")] \
            == [("update", "a"), ("update", "b"), ("update", "a"), ("delete", "b"),
                ("delete", "never")]
        assert messages[-1]["objects"] == [{"key": "a", "type": "str", "repr": "'one'"}]
        assert (await running.run_cell("quorvel.get_object('b') is None"))[-1]["result"] == "True"

        messages = await cell(running, "quorvel.clear_all_objects()")
        assert of_type(messages, "object_registry_update") == [
            {"type": "object_registry_update", "action": "clear_all", "workbook_id": WB}]
        assert messages[-1]["objects"] == []

    @pytest.mark.parametrize("key, error", [
        ("''", "ValueError: ObjectKeeper key must be a non-empty string"),
        ("42", "TypeError"),
    ])
    async def test_a_bad_key_fails_the_cell_and_keeps_nothing(self, running, key, error):
        messages = await cell(running, f"import quorvel\nquorvel.save_object({key}, 1)")
        assert error in of_type(messages, "execution_error")[0]["error"]["traceback"]
        assert of_type(messages, "object_registry_update") == []
        assert messages[-1]["objects"] == []


class TestHostileReprs:
    async def test_the_registry_survives_reprs_that_raise_grow_or_reenter(self, running):
        code = ("import quorvel\n"
                "class Broken:\n"
                "    def __repr__(self): raise RuntimeError('no repr today')\n"
                "class Nosy:\n"
                "    def __repr__(self): return 'saw %r' % quorvel.get_object('big')[:3]\n"
                "quorvel.save_object('broken', Broken())\n"
                "quorvel.save_object('big', 'x' * 100000)\n"
                "quorvel.save_object('nosy', Nosy())")
        messages = await cell(running, code)
        assert of_type(messages, "execution_result")  # save_object did not raise
        limit = kernel_module.MAX_REPR_LENGTH
        broken, big, nosy = messages[-1]["objects"]
        assert broken == {"key": "broken", "type": "Broken",
                          "repr": "<Broken object; repr() raised RuntimeError: no repr today>"}
        assert big["repr"] == repr("x" * 100000)[:limit] + "... [100002 characters]"
        assert nosy["repr"] == "saw 'xxx'"
        updates = of_type(messages, "object_registry_update")
        assert [u["repr"] for u in updates] == [broken["repr"], big["repr"], nosy["repr"]]
        assert (await running.run_cell("1"))[-1]["success"] is True


class TestSpreadsheetRequests:
    async def test_message_box_and_event_switch(self, running):
        messages = await cell(running, "import quorvel\nquorvel.show_message_box('Done')\n"
                                       "quorvel.show_message_box('Careful', 'Check', 'Warning')\n"
                                       "quorvel.set_enable_events(False)")
        assert of_type(messages, "show_message_box") == [
            {"type": "show_message_box", "message": "Done", "title": "Quorvel",
             "msg_type": "Info", "workbook_id": WB},
            {"type": "show_message_box", "message": "Careful", "title": "Check",
             "msg_type": "Warning", "workbook_id": WB}]
        assert of_type(messages, "set_enable_events") == [
            {"type": "set_enable_events", "enable": False, "workbook_id": WB}]


class TestWithoutAKernel:
    def test_the_bridge_refuses_and_an_unconnected_kernel_keeps_quietly(self, monkeypatch):
        monkeypatch.setattr(quorvel, "_kernel_instance", None)
        with pytest.raises(RuntimeError, match="No kernel is connected"):
            quorvel.save_object("k", 1)
        kernel = kernel_module.PythonKernel("Offline.xlsx")
        kernel.save_object("k", [1])
        assert kernel.get_object("k") == [1] and kernel.get_object("missing") is None
        assert kernel.get_object_registry() == [{"key": "k", "type": "list", "repr": "[1]"}]
