"""Console handlers: program output, results and execution outcomes, with the source filter."""
import pytest

from ide.gui import OutputLevel


def entries(feed):
    return [(e.text, e.color, e.level, e.from_std) for e in feed.console()]


SIMPLE, DETAILED = OutputLevel.SIMPLE, OutputLevel.DETAILED


class TestStreams:
    def test_stdout_and_stderr_lines(self, feed, window):
        feed({"type": "stdout", "content": "hello\n"}, {"type": "stderr", "content": "oops\n"})
        assert entries(feed) == [("hello\n", "#4daafc", SIMPLE, True),
                                 ("oops\n", "#ff6b6b", SIMPLE, True)]
        assert window.error_light_on is True

    def test_empty_content_prints_nothing_and_lights_nothing(self, feed, window):
        feed({"type": "stdout"}, {"type": "stderr", "content": ""})
        assert entries(feed) == [] and window.error_light_on is False

    def test_result_values_lose_their_framing_line_feeds(self, feed):
        feed({"type": "result_output", "content": "\n\nOut: 42\n"},
             {"type": "result_output", "content": "\n\n"})
        assert entries(feed) == [("Out: 42", "#4caf50", SIMPLE, False)]


class TestExecutionResult:
    @pytest.mark.parametrize("message, line, color", [
        ({"success": True, "function_name": "main"},
         "Execution completed successfully for main()", "#4caf50"),
        ({"success": True}, "Execution completed successfully", "#4caf50"),
        ({"function_name": "main", "error": "ZeroDivisionError"},
         "Execution failed for main(): ZeroDivisionError", "#ff6b6b"),
        ({}, "Execution failed: Unknown error", "#ff6b6b"),
    ])
    def test_outcome_lines(self, feed, message, line, color):
        feed(dict(message, type="execution_result"))
        assert entries(feed) == [(line, color, SIMPLE, False)]


class TestSourceFilter:
    def test_ide_only_hides_runs_started_elsewhere(self, feed, window):
        window.console.set_source_filter("ide_only")
        feed({"type": "stdout", "content": "from excel", "source": "addin"},
             {"type": "stderr", "content": "err excel", "source": "addin"},
             {"type": "result_output", "content": "Out: 1", "source": "addin"},
             {"type": "execution_result", "success": True, "source": "addin"},
             {"type": "stdout", "content": "no source"},
             {"type": "stdout", "content": "from ide", "source": "ide"},
             {"type": "log_to_console", "content": "never filtered", "source": "addin"})
        assert [e[0] for e in entries(feed)] == ["no source", "from ide", "never filtered"]
        assert window.error_light_on is False

    def test_other_filters_let_everything_through(self, feed, window):
        feed({"type": "stdout", "content": "from excel", "source": "addin"})
        assert [e[0] for e in entries(feed)] == ["from excel"]


class TestLogToConsole:
    def test_hub_lines_are_detailed_with_their_colour(self, feed):
        feed({"type": "log_to_console", "content": "\nKernel started\n", "color": "#123456"},
             {"type": "log_to_console", "content": "plain"},
             {"type": "log_to_console", "content": "\n"})
        assert entries(feed) == [("Kernel started", "#123456", DETAILED, False),
                                 ("plain", None, DETAILED, False)]
