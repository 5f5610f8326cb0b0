"""What the host's own open() raises, for tests to expect of ours."""
import tempfile


def _open_error_of_a_folder():
    with tempfile.TemporaryDirectory() as folder:
        try:
            open(folder, "rb").close()
        except OSError as error:
            return type(error)
    raise AssertionError(f"open() read the folder {folder!r}")


# IsADirectoryError on POSIX; PermissionError on Windows, whose CreateFile
# refuses a folder with ERROR_ACCESS_DENIED.
FOLDER_ERROR = _open_error_of_a_folder()
