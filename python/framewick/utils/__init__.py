"""The storage, inspector and updater modules."""
