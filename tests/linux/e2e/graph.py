"""The graph as pw-dump shows it, for the tests to read: nodes, ports, links
and clients, and who plays through a node."""

import json


class Graph:
    """One snapshot of the graph: nodes, ports, links and clients by id."""

    def __init__(self, objects):
        self.objects = objects
        self.nodes, self.ports, self.links, self.clients = {}, {}, {}, {}
        kinds = {"PipeWire:Interface:Node": self.nodes, "PipeWire:Interface:Port": self.ports,
                 "PipeWire:Interface:Link": self.links,
                 "PipeWire:Interface:Client": self.clients}
        for item in objects:
            table = kinds.get(item.get("type"))
            if table is not None:
                table[item["id"]] = item

    @staticmethod
    def props(item):
        return (item.get("info") or {}).get("props") or {}

    def client_pid(self, client_id):
        client = self.clients.get(client_id)
        pid = self.props(client).get("pipewire.sec.pid") if client else None
        return int(pid) if pid is not None else None

    def node_pids(self, node_id):
        """Who plays through a node: the pid the socket vouches for (native
        clients) and the pid the client names (PulseAudio-protocol clients,
        whose socket peer is pipewire-pulse)."""
        props = self.props(self.nodes[node_id])
        pids = set()
        client_id = props.get("client.id")
        if client_id is not None and self.client_pid(int(client_id)) is not None:
            pids.add(self.client_pid(int(client_id)))
        if props.get("application.process.id") is not None:
            pids.add(int(props["application.process.id"]))
        return pids

    def nodes_of(self, pids, media_class=None):
        pids = set(pids)
        return sorted(node_id for node_id in self.nodes
                      if self.node_pids(node_id) & pids
                      and (media_class is None
                           or self.props(self.nodes[node_id]).get("media.class") == media_class))

    def node_named(self, name):
        for node_id, node in self.nodes.items():
            if self.props(node).get("node.name") == name:
                return node_id
        return None

    def link_ends(self, link_id):
        info = self.links[link_id].get("info") or {}
        return (info.get("output-node-id"), info.get("output-port-id"),
                info.get("input-node-id"), info.get("input-port-id"))

    def links_between(self, output_nodes, input_nodes):
        """Links as (output node, output port, input node, input port)."""
        output_nodes, input_nodes = set(output_nodes), set(input_nodes)
        return sorted(ends for ends in map(self.link_ends, self.links)
                      if ends[0] in output_nodes and ends[2] in input_nodes)

    def links_touching(self, node_ids):
        node_ids = set(node_ids)
        return sorted(ends for ends in map(self.link_ends, self.links)
                      if ends[0] in node_ids or ends[2] in node_ids)

    def streams(self):
        """Every playback stream."""
        return self.nodes_with_class("Stream/Output/Audio")

    def nodes_with_class(self, media_class):
        return sorted(node_id for node_id, node in self.nodes.items()
                      if self.props(node).get("media.class") == media_class)

    def serial(self, table, object_id):
        """Ids are reused as soon as an object goes; serials never are."""
        return int(self.props(table[object_id])["object.serial"])

    def sink_links(self, sink_name):
        """For each playback stream (by serial), its links to the named sink
        (by serial, with the ports they join): the same serials in two
        snapshots mean the very same links."""
        sink = self.node_named(sink_name)
        result = {}
        for stream in self.streams():
            result[self.serial(self.nodes, stream)] = sorted(
                (self.serial(self.links, link_id),
                 self.props(self.ports[ends[1]]).get("port.name"),
                 self.props(self.ports[ends[3]]).get("port.name"))
                for link_id, ends in ((link_id, self.link_ends(link_id)) for link_id in self.links)
                if ends[0] == stream and ends[2] == sink)
        return result

    def object_metadata(self):
        """Metadata about single objects (a stream's target, for one): every
        entry whose subject is not the whole graph."""
        return sorted((entry["subject"], entry["key"], json.dumps(entry.get("value")))
                      for item in self.objects if item.get("type") == "PipeWire:Interface:Metadata"
                      for entry in item.get("metadata") or [] if entry.get("subject") != 0)

    def objects_of_pid(self, pid):
        """Every client, node and link that belongs to a process."""
        clients = [cid for cid in self.clients if self.client_pid(cid) == pid]
        nodes = self.nodes_of([pid])
        links = [lid for lid, link in self.links.items()
                 if self.props(link).get("client.id") in clients
                 or set(self.link_ends(lid)[0::2]) & set(nodes)]
        return {"clients": clients, "nodes": nodes, "links": links}
