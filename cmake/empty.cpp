// Shared objects are made of the subsystem libraries; this unit only gives them a source.
