"""Payload objects that exercise the argument conversion of send()."""


class Reentrant:
    """A one-byte payload whose item access first calls back into Python code."""

    def __init__(self, action):
        self.action = action

    def __len__(self):
        return 1

    def __getitem__(self, index):
        if index:
            raise IndexError
        self.action()
        return 1
