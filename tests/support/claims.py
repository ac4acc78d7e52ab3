"""Objects that claim to be what a conversion wants: a sequence that claims any
length and may fail or grow while it is read, an integer known only by __index__."""


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Claims:
    GROWS_TO = 50

    def __init__(self, items, length, fail_at=None, grow=False):
        self.items, self.length, self.fail_at, self.grow = list(items), length, fail_at, grow

    def __len__(self):
        if isinstance(self.length, type):
            raise self.length("len refused")
        return self.length

    def __getitem__(self, index):
        if index == self.fail_at:
            raise LookupError("item refused")
        if self.grow and len(self.items) < self.GROWS_TO:
            self.items.append(index % 256)
        return self.items[index]

    def readable(self):
        """The items a reader gets, or None when reading them fails."""
        # Growing, it gains one item per read until it is full.
        items = self.items + list(range(self.GROWS_TO - len(self.items))) if self.grow else self.items
        # The read past the end reaches fail_at as well.
        return None if self.fail_at is not None and self.fail_at <= len(items) else items
